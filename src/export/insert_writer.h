// InsertWriter: the INSERT statements of one table's data, row by row, into the dump's
// text buffer. It knows the three statement shapes (one row per statement, many rows per
// statement, with or without a column list) and the sizing rule that starts a new
// many-row statement before it outgrows the server's packet limit.
//
// A statement is opened by its first row and closed by the next statement or by
// end_table(), so the text stays valid SQL however many rows the server really sends.
#pragma once

#include <cstddef>
#include <string>

#include <mysql.h>

#include "common/str_buf.h"
#include "connection/sql_quote.h"

namespace kro::export_ {

class InsertWriter {
public:
    void set_bulk(bool on) { bulk_ = on; }
    void set_complete(bool on) { complete_ = on; }
    // Statement size limit: the packet limit in KB, lowered to the bulk size (KB) when that
    // is not 0 and smaller (statement_byte_limit).
    void set_limits(long packet_kb, long bulk_kb);

    // quoted_table: the table name as it goes between back-quotes; prefix: "DELAYED " or "".
    // column_list: this table's statements name their columns even without complete
    // inserts (its rows do not fill the columns in table order).
    void begin_table(const std::string& quoted_table, const char* prefix, bool column_list = false);
    // The result's columns, needed once per table before the first row: the column list
    // for complete inserts ("`a`,`b`", names already quoted) and which values are numeric
    // and so written unquoted.
    void set_columns(const std::string& quoted_column_list, MYSQL_FIELD* fields, unsigned count);
    // count: the row's number of values. false when it is not the number of columns, or a
    // value could not be escaped (nothing sound was written for it).
    bool add_row(common::StrBuf& out, MYSQL_ROW row, const unsigned long* lengths, unsigned count,
                 connection::EscapeFn escape, void* context);
    // Closes the open statement, if any.
    void end_table(common::StrBuf& out);
    bool has_columns() const { return !numeric_.empty(); }
    // The longest statement a single row of this table needed, in bytes: more than the
    // server's max_allowed_packet, and the dump replays only with a bigger one.
    std::size_t longest_row_statement() const { return longest_row_statement_; }

private:
    void start_statement(common::StrBuf& out);
    void note_row_statement(std::size_t row_length);
    // value_bytes grows by the bytes of the values as written (escaped, without quotes).
    bool write_values(common::StrBuf& out, MYSQL_ROW row, const unsigned long* lengths, connection::EscapeFn escape,
                      void* context, std::size_t& value_bytes);

    bool bulk_ = false;
    bool complete_ = false;
    bool column_list_wanted_ = false;  // complete_, or the table's rows need the list
    long limit_bytes_ = 0;

    std::string table_;
    std::string prefix_;
    std::string column_list_;   // "`a`,`b`" for the column header
    std::string numeric_;       // one byte per column: 1 when the value goes unquoted
    std::size_t prefix_length_ = 0;   // the open statement's prefix text
    std::size_t header_length_ = 0;   // the column header (complete insert)
    std::size_t values_length_ = 0;   // the values of the open statement
    std::size_t start_length_ = 0;    // the text that opened the open statement
    std::size_t longest_row_statement_ = 0;
    bool statement_open_ = false;
    bool first_row_ = true;
};

}  // namespace kro::export_

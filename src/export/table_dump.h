// TableDump: the rows of one table, read from the server as one unbuffered stream (over
// the HTTP tunnel page by page) and written as INSERT statements into the dump's text. It is made for one table and written once; it
// holds what only that table needs (the columns its rows are read with, the key its pages
// follow, where the next page starts, the statement being written), while the connection,
// the output and the settings belong to the run and are borrowed.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "export/dump_connection.h"
#include "export/dump_events.h"
#include "export/dump_output.h"
#include "export/export_settings.h"
#include "export/insert_writer.h"
#include "export/key_pages.h"

namespace kro::export_ {

// What the run decides for every table's rows.
struct TableDumpSettings {
    const ExportOptions& options;
    long page_size = 0;                  // rows per SELECT; 0: the whole table at once
    long packet_limit_kb = 0;            // what one INSERT statement may grow to
    unsigned long max_packet_bytes = 0;  // the server's max_allowed_packet; 0: unknown
};

class TableDump {
public:
    TableDump(DumpConnection& source, DumpOutput& output, const TableDumpSettings& settings, DumpEvents events,
              const std::string& database, const std::string& name);

    // The table's data section. 1 when every row is in the text; 0 after a failure, whose
    // error is recorded on the connection (or, for a failed write, kept by the output).
    int write();
    // "set autocommit=0" was written: the replay must commit.
    bool opened_transaction() const { return opened_transaction_; }
    // A warning about the rows written, to show once the table's line is complete; empty
    // when there is none.
    const common::StrBuf& warning() const { return warning_; }

private:
    int plan();
    int read_key_pages();
    int read_offset_pages(long total);
    // Rows of the next page, the last page having held last_rows (0 before the first).
    long next_page_size(long last_rows) const;
    // One page of rows; with capture_key the key values of its last row are kept for the
    // next page's WHERE clause.
    int read_rows(const char* statement, bool capture_key);
    int take_columns(MYSQL_FIELD* fields, unsigned count);
    void start_select(common::StrBuf& statement) const;

    DumpConnection& source_;
    DumpOutput& output_;
    const TableDumpSettings settings_;
    const DumpEvents events_;
    const std::string database_;
    const std::string name_;
    const std::string table_;  // the name as it goes between back-quotes

    // How the rows are read.
    std::string select_list_ = "*";  // or the columns by name, when some are invisible
    bool column_list_ = false;       // the INSERTs name their columns
    std::string primary_order_;      // the primary key's columns, for offset pages
    std::vector<KeyColumn> key_;     // the unique key pages follow; empty: offset pages

    // What has been read so far.
    std::vector<std::string> result_columns_;  // from the first page
    std::vector<int> key_positions_;           // of the key columns in the result
    std::vector<std::string> last_key_;        // the key values of the last row read
    long rows_seen_ = 0;

    InsertWriter inserts_;
    bool opened_transaction_ = false;
    common::StrBuf warning_;
};

}  // namespace kro::export_

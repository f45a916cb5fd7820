// How the sync reads, writes and digests a column's values so that they mean the column's
// own bytes in its own character set, whatever the connection's: the expression that
// selects a value, the literal that writes it back, the value's term in the row digest,
// and which columns a row is read and written with.
#pragma once

#include <string>

#include "common/str_buf.h"
#include "connection/column_definition.h"
#include "sync/sync_context.h"

namespace kro::sync {

// A text column in a set other than UTF-8 is read as its bytes: through the connection it
// would arrive converted to UTF-8, and a byte its own set maps to nothing would be lost.
bool reads_as_bytes(const connection::ColumnDefinition& column);

// The expression that reads the column as append_literal writes it back: a FLOAT as its
// DOUBLE (the FLOAT's six-digit text does not bring the value back), a text of another set
// as its bytes, anything else as it is.
std::string read_value(const connection::ColumnDefinition& column);
// read_value as a select-list item named as the column.
std::string read_item(const connection::ColumnDefinition& column);

// The value, as read_value gave it, as a literal that the side's server takes for exactly
// that value of the column: NULL; a BIT as its number; a binary string as _binary'..'; a
// text of another set as _set'..' (either as X'..' where that is shorter); anything else
// in quotes, escaped by the side's connection.
// bare: a number written as it is (an integer or floating-point key, an ENUM or SET key's
// member number). false when the side
// cannot escape the value (reported).
bool append_literal(SyncSide& side, common::StrBuf& out, const connection::ColumnDefinition& column,
                    const char* value, unsigned long length, bool bare = false);

// The column's terms in the row digest MD5(CONCAT_WS('#', ...)). A text that both sides
// hold in one set (same_charset) is taken as its bytes; any other in utf8mb4, so that
// columns of unrelated sets never meet in one collation and a column holds the same
// digest on a target of a wider set.
std::string digest_terms(const connection::ColumnDefinition& column, bool same_charset);

// Whether the column is compared and written: every column without a column list.
bool in_column_list(const TablePlan& plan, const connection::ColumnDefinition& column);
// in_column_list, or a column of the key (marked "PRI"): a row is found and written by its
// key, and its digest must hold it, or two rows of a chunk with the same listed values
// would digest alike and cancel each other in the chunk's checksum.
bool in_rows(const TablePlan& plan, const connection::ColumnDefinition& column);

// The columns rows are read and written with, into plan.row_columns, row_select and
// row_names: every column, or with a column list its columns and the key's, in table order;
// never a generated column, which the server computes.
void choose_row_columns(TablePlan& plan);

// 1 when every column of the plan's column list is a column of the table; else 0 and
// error names the first that is not.
int check_column_list(const TablePlan& plan, common::StrBuf& error);

}  // namespace kro::sync

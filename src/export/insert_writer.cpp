#include "export/insert_writer.h"

#include <algorithm>
#include <cstring>

#include "connection/helper_queries.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

namespace {

constexpr unsigned kNumericFlag = 0x8000;

}  // namespace

void InsertWriter::set_limits(long packet_kb, long bulk_kb) {
    long kb = packet_kb;
    if (bulk_kb != 0 && bulk_kb < kb) kb = bulk_kb;
    limit_bytes_ = statement_byte_limit(kb);
}

void InsertWriter::begin_table(const std::string& quoted_table, const char* prefix, bool column_list) {
    table_ = quoted_table;
    column_list_wanted_ = complete_ || column_list;
    longest_row_statement_ = 0;
    prefix_ = prefix ? prefix : "";
    column_list_.clear();
    numeric_.clear();
    prefix_length_ = header_length_ = values_length_ = 0;
    statement_open_ = false;
    first_row_ = true;
}

void InsertWriter::set_columns(const std::string& quoted_column_list, MYSQL_FIELD* fields,
                               unsigned count) {
    column_list_ = quoted_column_list;
    numeric_.assign(count, '\0');
    // The HTTP tunnel's answers carry each column's type but no flags; the type says what
    // the client library's numeric flag would.
    for (unsigned i = 0; i < count; ++i)
        if ((fields[i].flags & kNumericFlag) || IS_NUM(fields[i].type)) numeric_[i] = 1;
}

// Writes the text that opens a statement and keeps its length for the sizing rule.
void InsertWriter::start_statement(StrBuf& out) {
    std::size_t before = out.length();
    if (column_list_wanted_) {
        out.append_format("\ninsert %s into `%s`(", prefix_.c_str(), table_.c_str());
        out.append(column_list_);
        out.append(") values ");
        header_length_ = out.length() - before;
        prefix_length_ = 0;
        values_length_ = 0;
        if (!bulk_) out.append("(");
    } else if (bulk_) {
        out.append_format("\ninsert %s into `%s` values ", prefix_.c_str(), table_.c_str());
        prefix_length_ = out.length() - before;
    } else {
        out.append_format("\ninsert %s into `%s` values(", prefix_.c_str(), table_.c_str());
    }
    start_length_ = out.length() - before;
}

bool InsertWriter::add_row(StrBuf& out, MYSQL_ROW row, const unsigned long* lengths, unsigned count,
                           EscapeFn escape, void* context) {
    const unsigned columns = static_cast<unsigned>(numeric_.size());
    if (count != columns) return false;
    if (!bulk_) {
        // Every row is a statement of its own; the one before is closed here.
        if (statement_open_) out.append(";");
        start_statement(out);
        const std::size_t row_start = out.length();
        std::size_t value_bytes = 0;
        if (!write_values(out, row, lengths, escape, context, value_bytes)) return false;
        out.append(")");
        note_row_statement(out.length() - row_start);
        statement_open_ = true;
        first_row_ = false;
        return true;
    }

    // The row is written first and measured as escaped: a value of zero bytes or quotes
    // doubles in size, and a statement sized by the raw values could outgrow the packet
    // limit of the server that replays it. The rare row that must open a new statement is
    // moved behind the new prefix.
    const bool opens = !statement_open_;
    if (opens) start_statement(out);
    const std::size_t row_start = out.length();
    out.append(opens ? "(" : ",(");
    std::size_t value_bytes = 0;
    if (!write_values(out, row, lengths, escape, context, value_bytes)) return false;
    out.append(")");
    statement_open_ = true;
    const std::size_t row_length = out.length() - row_start - (opens ? 0 : 1);  // "(...)"

    const std::size_t row_size = value_bytes + 3 * static_cast<std::size_t>(columns) + 3;
    values_length_ += row_size;
    if (column_list_wanted_ && first_row_) values_length_ += header_length_;
    if (!first_row_ &&
        values_length_ + prefix_length_ >= static_cast<std::size_t>(limit_bytes_)) {
        prefix_length_ = 0;
        values_length_ = 0;
        StrBuf head(128);
        head.append(";");
        start_statement(head);
        values_length_ = row_size + (column_list_wanted_ ? header_length_ : 0);
        // The row "(...)" is moved in place, not copied: it may be as large as the packet
        // limit, and a copy would double the writer's memory for it.
        const std::size_t moved = out.length() - row_start - 1;
        out.ensure_capacity(row_start + head.length() + moved);
        std::memmove(out.data() + row_start + head.length(), out.data() + row_start + 1, moved);
        std::memcpy(out.data() + row_start, head.c_str(), head.length());
        out.set_length(row_start + head.length() + moved);
    }
    note_row_statement(row_length);
    first_row_ = false;
    return true;
}

// A statement of this row alone: the opening text, the row and the closing ";".
void InsertWriter::note_row_statement(std::size_t row_length) {
    longest_row_statement_ = std::max(longest_row_statement_, start_length_ + row_length + 1);
}

bool InsertWriter::write_values(StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                                EscapeFn escape, void* context, std::size_t& value_bytes) {
    const unsigned columns = static_cast<unsigned>(numeric_.size());
    // Room for the worst case of the whole row, so that values are escaped straight into
    // the buffer without growing it value by value.
    std::size_t room = out.length() + 8;
    for (unsigned i = 0; i < columns; ++i) room += 2 * lengths[i] + 4;
    if (out.capacity() < room + 1) out.ensure_capacity(room + 8192);

    char* base = out.data();
    std::size_t at = out.length();
    for (unsigned i = 0; i < columns; ++i) {
        if (i > 0) base[at++] = ',';
        if (!row[i]) {
            std::memcpy(base + at, "NULL", 4);
            at += 4;
        } else if (numeric_[i]) {
            std::memcpy(base + at, row[i], lengths[i]);
            at += lengths[i];
            value_bytes += lengths[i];
        } else {
            base[at++] = '\'';
            unsigned long n = escape(context, base + at, row[i], lengths[i]);
            if (n == static_cast<unsigned long>(-1)) {
                out.set_length(at);
                return false;
            }
            at += n;
            value_bytes += n;
            base[at++] = '\'';
        }
    }
    out.set_length(at);
    return true;
}

void InsertWriter::end_table(StrBuf& out) {
    if (statement_open_) out.append(";\n");
    statement_open_ = false;
}

}  // namespace kro::export_

#include "sync/column_values.h"

#include <algorithm>
#include <strings.h>
#include <vector>

#include "connection/sql_quote.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

bool is_utf8(const std::string& charset) { return charset.rfind("utf8", 0) == 0; }

void append_hex(StrBuf& out, const char* value, unsigned long length) {
    static const char digits[] = "0123456789ABCDEF";
    out.make_room(length * 2 + 3);
    out.append("X'", 2);
    for (unsigned long i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        const char pair[2] = {digits[c >> 4], digits[c & 15]};
        out.append(pair, 2);
    }
    out.append("'", 1);
}

// A BIT value arrives as its bytes, most significant first.
void append_bit_number(StrBuf& out, const char* value, unsigned long length) {
    unsigned long long number = 0;
    for (unsigned long i = 0; i < length; ++i) number = (number << 8) | static_cast<unsigned char>(value[i]);
    out.append_format("%llu", number);
}

bool holds_bytes(const ColumnDefinition& column) { return column.is_binary() || column.is_geometry(); }

// Bytes as a literal of the introducer's set ("_binary", "_latin1"): in quotes, escaped by
// the side's connection, which is about half the length of X'..' and lets a value twice
// as long pass the target's packet limit; X'..' where the escaped form would be longer
// (mostly bytes that need escaping) or the side cannot escape them.
void append_bytes(SyncSide& side, StrBuf& out, const std::string& introducer, const char* value,
                  unsigned long length) {
    const std::size_t at = out.length();
    out.append(introducer);
    out.append("'", 1);
    const bool binary = introducer == "_binary";
    const std::size_t hex_length = (binary ? 0 : introducer.size() + 1) + 2 * static_cast<std::size_t>(length) + 3;
    if (append_escaped_value(out, side.tunnel(), side.handle(), value, length) && out.length() - at + 1 <= hex_length) {
        out.append("'", 1);
        return;
    }
    out.set_length(at);
    if (!binary) {
        out.append(introducer);
        out.append(" ", 1);
    }
    append_hex(out, value, length);
}

}  // namespace

bool reads_as_bytes(const ColumnDefinition& column) { return column.has_collation() && !is_utf8(column.charset); }

std::string read_value(const ColumnDefinition& column) {
    const std::string name = backquoted(column.name);
    if (column.type == ColumnType::float_) return "CAST(" + name + " AS DOUBLE)";
    if (reads_as_bytes(column)) return "CAST(" + name + " AS BINARY)";
    return name;
}

std::string read_item(const ColumnDefinition& column) {
    const std::string value = read_value(column);
    const std::string name = backquoted(column.name);
    return value == name ? name : value + " AS " + name;
}

bool append_literal(SyncSide& side, StrBuf& out, const ColumnDefinition& column, const char* value,
                    unsigned long length, bool bare) {
    if (!value) {
        out.append("NULL", 4);
        return true;
    }
    if (bare) {
        out.append(value, static_cast<long>(length));
        return true;
    }
    if (column.type == ColumnType::bit && length <= 8) {
        append_bit_number(out, value, length);
        return true;
    }
    if (holds_bytes(column)) {
        append_bytes(side, out, "_binary", value, length);
        return true;
    }
    if (reads_as_bytes(column)) {
        append_bytes(side, out, "_" + column.charset, value, length);
        return true;
    }
    out.append("'", 1);
    if (!append_escaped_value(out, side.tunnel(), side.handle(), value, length)) {
        report::report_failure("A value could not be escaped for the target connection's character set.\r\n");
        return false;
    }
    out.append("'", 1);
    return true;
}

std::string digest_terms(const ColumnDefinition& column, bool same_charset) {
    std::string value = backquoted(column.name);
    // A text of any set but utf8mb4 goes into the digest as its bytes where the other side
    // holds the same set: through utf8mb4 a byte its set maps to nothing (cp1251 0x98)
    // would become '?' and equal a real '?'. Elsewhere as utf8mb4, so that a latin1
    // source column digests as its utf8mb4 target does. Either way CONCAT_WS meets no
    // second set.
    if (column.has_collation() && column.charset != "utf8mb4")
        value = same_charset ? "CAST(" + value + " AS BINARY)" : "CONVERT(" + value + " USING utf8mb4)";
    else if (column.type == ColumnType::float_) value = "CAST(" + value + " AS DOUBLE)";
    else if (column.type == ColumnType::timestamp) value += "+0";
    // A value that may hold the separator '#' goes with its length, or ('a#', 'b') and
    // ('a', '#b') would digest alike; the length in bytes, which the server knows without
    // reading the text.
    if (column.is_numeric() || column.is_temporal()) return value;
    return "LENGTH(" + value + ")," + value;
}

bool in_column_list(const TablePlan& plan, const ColumnDefinition& column) {
    if (!plan.column_list) return true;
    const std::string name = backquoted(column.name);
    for (const std::string& listed : split_column_list(*plan.column_list))
        if (strcasecmp(listed.c_str(), name.c_str()) == 0) return true;
    return false;
}

bool in_rows(const TablePlan& plan, const ColumnDefinition& column) {
    return column.key == ColumnKey::primary || in_column_list(plan, column);
}

void choose_row_columns(TablePlan& plan) {
    plan.row_columns.clear();
    plan.row_select.clear();
    plan.row_names.clear();
    for (std::size_t i = 0; i < plan.columns.size(); ++i) {
        const ColumnDefinition& column = plan.columns[i];
        if (column.generated != Generated::none) continue;
        // The server marks the key's columns (of the primary key, or of a unique index over
        // NOT NULL columns) "PRI": a row is found and inserted by them.
        if (!in_rows(plan, column)) continue;
        const char* comma = plan.row_columns.empty() ? "" : ",";
        plan.row_columns.push_back(i);
        plan.row_select += comma + read_item(column);
        plan.row_names += comma + backquoted(column.name);
    }
}

int check_column_list(const TablePlan& plan, StrBuf& error) {
    if (!plan.column_list) return 1;
    for (const std::string& name : split_column_list(*plan.column_list)) {
        const bool found = std::any_of(plan.columns.begin(), plan.columns.end(), [&](const ColumnDefinition& c) {
            return strcasecmp(backquoted(c.name).c_str(), name.c_str()) == 0;
        });
        if (!found) {
            error.format("Column %s of the column list does not exist in '%s' table\r\n", name.c_str(),
                         plan.table_label.c_str());
            return 0;
        }
    }
    return 1;
}

}  // namespace kro::sync

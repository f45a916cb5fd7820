#include "sync/no_key_sync.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/report_body.h"
#include "report/reporting.h"
#include "sync/row_apply.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

// One row's values as read; nullopt for NULL.
using RowValues = std::vector<std::optional<std::string>>;

RowValues copy_row(MYSQL_ROW row, const unsigned long* lengths, unsigned columns) {
    RowValues values(columns);
    for (unsigned i = 0; i < columns; ++i)
        if (row[i]) values[i].emplace(row[i], lengths[i]);
    return values;
}

bool same_row(const RowValues& a, MYSQL_ROW row, const unsigned long* lengths) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!row[i] || !a[i]) {
            if (row[i] || a[i]) return false;
            continue;
        }
        if (a[i]->size() != lengths[i] || std::memcmp(a[i]->data(), row[i], lengths[i]) != 0) return false;
    }
    return true;
}

bool is_string(enum_field_types type) {
    switch (type) {
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_STRING:
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_GEOMETRY:
        case MYSQL_TYPE_ENUM:
        case MYSQL_TYPE_SET:
            return true;
        default:
            return false;
    }
}

void append_hex(StrBuf& out, const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    out.append("0x", 2);
    for (unsigned char c : bytes) {
        char pair[2] = {kDigits[c >> 4], kDigits[c & 15]};
        out.append(pair, 2);
    }
}

// A value as the side's server reads it back unchanged: BIT values as hex numbers, the
// rest as quoted text escaped by that connection.
bool append_literal(SyncSide& side, StrBuf& out, enum_field_types type, const std::string& value) {
    if (type == MYSQL_TYPE_BIT) {
        append_hex(out, value);
        return true;
    }
    return append_value(side, out, value.data(), static_cast<unsigned long>(value.size()));
}

// Matches exactly this row on the side: every column, blobs too. Strings compare byte by
// byte (a case-insensitive collation would take "A" for "a" and leave the rows different),
// BIT values as numbers, the rest (FLOAT values read as DOUBLE) by value.
bool append_match(SyncSide& side, StrBuf& out, const RowValues& row, const std::vector<MYSQL_FIELD>& fields) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out.append(" and ");
        StrBuf name = escape_identifier(fields[i].name ? fields[i].name : "");
        if (!row[i]) {
            out.append_format("`%s` IS NULL ", name.c_str());
            continue;
        }
        const enum_field_types type = fields[i].type;
        if (is_string(type))
            out.append_format("`%s` = BINARY ", name.c_str());
        else
            out.append_format("`%s` = ", name.c_str());
        if (!append_literal(side, out, type, *row[i])) return false;
    }
    return true;
}

// How often the row is on the side (without the filter); nullopt when the lookup failed.
std::optional<std::uint64_t> count_on(SyncContext& ctx, SyncSide& side, const RowValues& row,
                                      const std::vector<MYSQL_FIELD>& fields) {
    StrBuf statement;
    statement.format("select count(*)from %s where ", ctx.plan.table.c_str());
    if (!append_match(side, statement, row, fields)) return std::nullopt;
    ResultPtr result = query_side(side, statement.c_str());
    MYSQL_ROW count = result ? side.tunnel().fetch_row(result.get()) : nullptr;
    if (!count || !count[0]) return std::nullopt;
    return std::strtoull(count[0], nullptr, 10);
}

int insert_copies(SyncContext& ctx, const RowValues& row, const std::vector<MYSQL_FIELD>& fields,
                  std::uint64_t copies) {
    SyncSide& target = ctx.target();
    ctx.set_status_count("Table data obtained...\r\nInserting row: %d", ctx.counts.inserted);
    StrBuf values;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) values.append(" , ");
        if (!row[i])
            values.append(" NULL ");
        else if (!append_literal(target, values, fields[i].type, *row[i]))
            return 0;
    }
    // With a column list the other columns take their defaults: the statement names its columns.
    StrBuf statement;
    if (ctx.plan.column_list)
        statement.format("insert into %s(%s) values(%s)", ctx.plan.table.c_str(), ctx.plan.column_list->c_str(), values.c_str());
    else
        statement.format("insert into %s values(%s)", ctx.plan.table.c_str(), values.c_str());
    for (std::uint64_t i = 1; i < copies; ++i) statement.append_format(",(%s)", values.c_str());
    if (!apply_statement(ctx, target, statement)) return 0;
    ctx.counts.inserted += static_cast<unsigned>(copies);
    return 1;
}

int delete_copies(SyncContext& ctx, const RowValues& row, const std::vector<MYSQL_FIELD>& fields,
                  std::uint64_t copies) {
    // The delete pass reads the real target, which is in the source role now.
    SyncSide& reading = ctx.source();
    ctx.set_status_count("Table data obtained...\r\nDeleting row: %d", ctx.counts.deleted);
    StrBuf statement;
    statement.format("delete from %s where ", ctx.plan.table.c_str());
    if (!append_match(reading, statement, row, fields)) return 0;
    statement.append_format(" LIMIT %llu", static_cast<unsigned long long>(copies));
    if (!apply_statement(ctx, reading, statement)) return 0;
    ctx.counts.deleted += static_cast<unsigned>(copies);
    return 1;
}

// The columns as the pass reads them: a FLOAT as its DOUBLE value, since the server shows
// a FLOAT with six digits, a text that neither brings the value back when it is written
// nor matches it when it is looked up. Each pair is the column's name and the expression
// that reads it. Empty when the columns cannot be read.
std::vector<std::pair<std::string, std::string>> read_expressions(SyncSide& side, const std::string& table,
                                                                  const std::string& columns) {
    StrBuf statement;
    statement.format("select %s from %s limit 0", columns.c_str(), table.c_str());
    ResultPtr probe = query_side(side, statement.c_str());
    const std::vector<std::string> names = split_column_list(columns);
    if (!probe || side.tunnel().num_fields(probe.get()) != names.size()) return {};
    MYSQL_FIELD* fields = side.tunnel().fetch_fields(probe.get());
    std::vector<std::pair<std::string, std::string>> read;
    for (std::size_t i = 0; i < names.size(); ++i)
        read.emplace_back(names[i], fields[i].type == MYSQL_TYPE_FLOAT ? "CAST(" + names[i] + " AS DOUBLE)" : names[i]);
    return read;
}

}  // namespace

int row_pass(SyncContext& ctx, PassKind kind) {
    SyncSide& reading = ctx.source();
    SyncSide& other = ctx.target();
    ctx.set_status("Retrieving table data...");
    const std::vector<std::pair<std::string, std::string>> expressions =
        read_expressions(reading, ctx.plan.table, ctx.plan.column_list ? *ctx.plan.column_list : ctx.plan.all_columns);
    if (expressions.empty()) {
        ctx.report_error(reading);
        return 0;
    }
    // Identical rows arrive one after another, so each is looked up once with its number
    // of copies: ordered by the row's digest (equal rows, equal digests), then by bytes,
    // whatever the collation takes as equal.
    std::string columns, order = "MD5(CONCAT_WS('#', " + ctx.plan.checksum_expression + "))";
    for (const auto& [name, expression] : expressions) {
        columns += (columns.empty() ? "" : ",") + (expression == name ? name : expression + " AS " + name);
        order += ",BINARY " + expression;
    }
    StrBuf statement;
    statement.format("select %s from %s %s %s ORDER BY %s", columns.c_str(), ctx.plan.table.c_str(),
                     ctx.plan.filter ? "where" : "", ctx.plan.filter ? ctx.plan.filter->c_str() : "", order.c_str());
    // The delete pass deletes through the connection it reads from: its rows are stored first.
    ResultPtr rows = kind == PassKind::insert_rows && !reading.is_http()
                         ? query_result(reading.tunnel(), reading.handle(), statement.c_str())
                         : query_side(reading, statement.c_str());
    if (!rows) {
        ctx.report_error(reading);
        return 0;
    }
    Tunnel& tunnel = reading.tunnel();
    const unsigned count = tunnel.num_fields(rows.get());
    std::vector<MYSQL_FIELD> fields(tunnel.fetch_fields(rows.get()), tunnel.fetch_fields(rows.get()) + count);

    // Runs of identical rows: the row and how often it came.
    RowValues current;
    std::uint64_t copies = 0;
    auto settle = [&]() -> int {
        if (copies == 0) return 1;
        ctx.set_status("Table data obtained...\r\nFinding row(s)...");
        std::optional<std::uint64_t> there = count_on(ctx, other, current, fields);
        if (!there) {
            ctx.set_status("Table data obtained...\r\nUnable to find row(s)...");
            ctx.report_error(other);
            return 0;
        }
        if (*there >= copies) return 1;
        return kind == PassKind::insert_rows ? insert_copies(ctx, current, fields, copies - *there)
                                             : delete_copies(ctx, current, fields, copies - *there);
    };
    int ok = 1;
    while (MYSQL_ROW row = tunnel.fetch_row(rows.get())) {
        const unsigned long* lengths = tunnel.fetch_lengths(rows.get());
        if (copies > 0 && same_row(current, row, lengths)) {
            ++copies;
            continue;
        }
        if (!(ok = settle())) break;
        current = copy_row(row, lengths, count);
        copies = 1;
        ctx.set_status("Retrieving table data...");
    }
    if (ok) ok = settle();
    if (ok && !reading.is_http() && kind == PassKind::insert_rows && tunnel.error_number(reading.handle()) != 0) {
        ctx.report_error(reading);  // the stream broke off
        ok = 0;
    }
    if (!ok) {
        // A streamed result must be read to its end before its connection is used again.
        while (tunnel.fetch_row(rows.get())) {
        }
    }
    flush_outputs();
    rows.reset();
    ctx.set_status("");
    return ok;
}

void show_no_key_warning(SyncContext& ctx) {
    StrBuf warning;
    warning.format("\n\nWARNING: table %s does not have a Primary Key or a Unique Key with columns defined NOT NULL. "
                   "Data Sync will operate in a special mode. Refer to documentation for details.",
                   ctx.plan.table_label.c_str());
    show_warning(ctx.report(), warning.c_str());
}

int sync_without_key(SyncContext& ctx) {
    if (ctx.plan.delete_allowed) {
        ctx.swap_sides();
        int ok = row_pass(ctx, PassKind::delete_rows);
        ctx.swap_sides();
        if (!ok) return 0;
    }
    return row_pass(ctx, PassKind::insert_rows);
}

}  // namespace kro::sync

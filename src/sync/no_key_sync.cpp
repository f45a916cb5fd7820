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
#include "sync/column_values.h"
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

// Texts and byte strings compare byte by byte (a case-insensitive collation would take "A"
// for "a" and leave the rows different); everything else by value.
bool compares_bytes(const ColumnDefinition& column) {
    return column.has_collation() || column.is_binary() || column.is_geometry();
}

// The column of the row's i-th value.
const ColumnDefinition& row_column(const TablePlan& plan, std::size_t i) { return plan.columns[plan.row_columns[i]]; }

// Matches exactly this row on the side: every row column, blobs too.
bool append_match(SyncContext& ctx, SyncSide& side, StrBuf& out, const RowValues& row) {
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out.append(" and ");
        const ColumnDefinition& column = row_column(ctx.plan, i);
        StrBuf name = escape_identifier(column.name);
        if (!row[i]) {
            out.append_format("`%s` IS NULL ", name.c_str());
            continue;
        }
        out.append_format(compares_bytes(column) ? "`%s` = BINARY " : "`%s` = ", name.c_str());
        if (!append_literal(side, out, column, row[i]->data(), static_cast<unsigned long>(row[i]->size()))) return false;
    }
    return true;
}

// How often the row is on the side (without the filter); nullopt when the lookup failed.
std::optional<std::uint64_t> count_on(SyncContext& ctx, SyncSide& side, const RowValues& row) {
    StrBuf statement;
    statement.format("select count(*)from %s where ", ctx.plan.table.c_str());
    if (!append_match(ctx, side, statement, row)) return std::nullopt;
    ResultPtr result = query_side(side, statement.c_str());
    MYSQL_ROW count = result ? side.tunnel().fetch_row(result.get()) : nullptr;
    if (!count || !count[0]) return std::nullopt;
    return std::strtoull(count[0], nullptr, 10);
}

int insert_copies(SyncContext& ctx, const RowValues& row, std::uint64_t copies) {
    SyncSide& target = ctx.target();
    ctx.set_status_count("Table data obtained...\r\nInserting row: %d", ctx.counts.inserted);
    StrBuf values;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) values.append(" , ");
        if (!row[i])
            values.append(" NULL ");
        else if (!append_literal(target, values, row_column(ctx.plan, i), row[i]->data(),
                                 static_cast<unsigned long>(row[i]->size())))
            return 0;
    }
    // The statement names its columns: with a column list the others take their defaults,
    // and INVISIBLE columns are there only when named.
    StrBuf statement;
    statement.format("insert into %s(%s) values(%s)", ctx.plan.table.c_str(), ctx.plan.row_names.c_str(), values.c_str());
    for (std::uint64_t i = 1; i < copies; ++i) statement.append_format(",(%s)", values.c_str());
    const ExpectedRows expected{copies, "the copies of a row being inserted"};
    if (!apply_statement(ctx, target, statement, &expected)) return 0;
    ctx.counts.inserted += static_cast<unsigned>(copies);
    return 1;
}

int delete_copies(SyncContext& ctx, const RowValues& row, std::uint64_t copies) {
    // The delete pass reads the real target, which is in the source role now.
    SyncSide& reading = ctx.source();
    ctx.set_status_count("Table data obtained...\r\nDeleting row: %d", ctx.counts.deleted);
    StrBuf statement;
    statement.format("delete from %s where ", ctx.plan.table.c_str());
    if (!append_match(ctx, reading, statement, row)) return 0;
    statement.append_format(" LIMIT %llu", static_cast<unsigned long long>(copies));
    const ExpectedRows expected{copies, "the copies of a row being deleted"};
    if (!apply_statement(ctx, reading, statement, &expected)) return 0;
    ctx.counts.deleted += static_cast<unsigned>(copies);
    return 1;
}

}  // namespace

int row_pass(SyncContext& ctx, PassKind kind) {
    SyncSide& reading = ctx.source();
    SyncSide& other = ctx.target();
    ctx.set_status("Retrieving table data...");
    // Identical rows arrive one after another, so each is looked up once with its number
    // of copies: ordered by the row's digest (equal rows, equal digests), then by bytes,
    // whatever the collation takes as equal.
    std::string order = "MD5(CONCAT_WS('#', " + ctx.plan.checksum_expression + "))";
    for (std::size_t i : ctx.plan.row_columns) order += ",BINARY " + read_value(ctx.plan.columns[i]);
    StrBuf statement;
    statement.format("select %s from %s %s %s ORDER BY %s", ctx.plan.row_select.c_str(), ctx.plan.table.c_str(),
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
    if (count != ctx.plan.row_columns.size()) {
        ctx.report_error(reading);
        return 0;
    }

    // Runs of identical rows: the row and how often it came.
    RowValues current;
    std::uint64_t copies = 0;
    auto settle = [&]() -> int {
        if (copies == 0) return 1;
        ctx.set_status("Table data obtained...\r\nFinding row(s)...");
        std::optional<std::uint64_t> there = count_on(ctx, other, current);
        if (!there) {
            ctx.set_status("Table data obtained...\r\nUnable to find row(s)...");
            ctx.report_error(other);
            return 0;
        }
        if (*there >= copies) return 1;
        return kind == PassKind::insert_rows ? insert_copies(ctx, current, copies - *there)
                                             : delete_copies(ctx, current, copies - *there);
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
    return ctx.plan.only_deletes ? 1 : row_pass(ctx, PassKind::insert_rows);
}

}  // namespace kro::sync

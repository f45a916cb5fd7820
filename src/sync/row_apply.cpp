#include "sync/row_apply.h"

#include <cstring>
#include <string>
#include <strings.h>

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::report;

namespace kro::sync {

namespace {

// The row at a 1-based position of a stored result, or null.
MYSQL_ROW row_at(Tunnel& tunnel, TunnelResult* rows, std::uint32_t number, unsigned long*& lengths) {
    if (number == 0) return nullptr;
    tunnel.data_seek(rows, number - 1);
    MYSQL_ROW row = tunnel.fetch_row(rows);
    lengths = row ? tunnel.fetch_lengths(rows) : nullptr;
    return row;
}

// "the row WHERE (`k` = v)" for the texts that name a row.
std::string row_named(const StrBuf& where) { return "the row" + std::string(where.view()); }

// Whether the row is on the target, for an UPDATE that changed nothing: the server counts
// only the rows whose values it changed, so 0 is also the answer for a row that already
// held them.
bool row_exists(SyncContext& ctx, const StrBuf& where) {
    StrBuf statement;
    statement.format("select count(*)from %s %s", ctx.plan.table.c_str(), where.c_str());
    ResultPtr result = query_side(ctx.target(), statement.c_str());
    MYSQL_ROW row = result ? ctx.target().tunnel().fetch_row(result.get()) : nullptr;
    return row && row[0] && std::strcmp(row[0], "1") == 0;
}

// "UPDATE t SET `a`='1', `b`=NULL  WHERE (...) " for a source row (its row columns).
int update_row(SyncContext& ctx, MYSQL_ROW row, const unsigned long* lengths) {
    StrBuf where;
    if (!append_row_identification(ctx, where, row, lengths, true)) return 0;
    StrBuf statement;
    statement.format("UPDATE %s SET ", ctx.plan.table.c_str());
    for (std::size_t i = 0; i < ctx.plan.row_columns.size(); ++i) {
        const ColumnDefinition& column = ctx.plan.columns[ctx.plan.row_columns[i]];
        if (i > 0) statement.append(", ");
        statement.append("`", 1);
        append_escaped_identifier(statement, column.name);
        statement.append("`=", 2);
        if (!append_literal(ctx.target(), statement, column, row[i], lengths[i])) return 0;
    }
    ctx.set_status_count("Table row obtained...\r\nUpdating row: %d", ctx.counts.updated);
    statement.append_format(" %s ", where.c_str());
    const StatementOutcome outcome = send_change(ctx, ctx.target(), statement);
    if (outcome.kind != StatementOutcome::ok) return 0;
    const bool unchanged_but_there = outcome.affected_rows == 0 && ctx.writes_target() && row_exists(ctx, where);
    const std::string what = row_named(where);
    if (!unchanged_but_there && !landed_as_expected(ctx, outcome, {1, what})) return 0;
    ++ctx.counts.updated;
    return 1;
}

// Whether a duplicate key is the sync's own key, as the server names it (MySQL 8 puts the
// table's name and a dot in front).
bool is_sync_key(const SyncContext& ctx, const std::string& key_name) {
    const std::string& index = ctx.plan.index_name;
    if (index.empty() || key_name.size() < index.size()) return false;
    const std::size_t at = key_name.size() - index.size();
    return strcasecmp(key_name.c_str() + at, index.c_str()) == 0 && (at == 0 || key_name[at - 1] == '.');
}

enum class InsertAs { new_row, staged_update };

// "INSERT INTO t (...) VALUES (...)" for the source row at that number. A new row that is on the
// target already by the sync's key is updated instead; a duplicate on any other unique key
// fails the table, since updating by the sync's key would change another row or none.
int insert_row(SyncContext& ctx, TunnelResult* rows, std::uint32_t number, InsertAs as) {
    Tunnel& tunnel = ctx.source().tunnel();
    SyncSide& target = ctx.target();
    unsigned long* lengths = nullptr;
    MYSQL_ROW row = row_at(tunnel, rows, number, lengths);
    if (!row) return 0;
    ctx.set_status("Retrieving table row...");
    unsigned& counted = as == InsertAs::new_row ? ctx.counts.inserted : ctx.counts.updated;
    ctx.set_status_count(as == InsertAs::new_row ? "Table row obtained...\r\nInserting row: %d"
                                                 : "Table row obtained...\r\nUpdating row: %d",
                         counted);
    StrBuf values;
    if (!append_value_list(ctx, values, row, lengths)) return 0;
    // Named columns: a column list leaves the others their defaults, and INVISIBLE
    // columns are there only when named.
    StrBuf statement;
    statement.format("INSERT INTO %s (%s) VALUES (%s)", ctx.plan.table.c_str(), ctx.plan.row_names.c_str(),
                     values.c_str());
    const StatementOutcome outcome = send_change(ctx, target, statement, DuplicateKeys::answer);
    if (outcome.kind == StatementOutcome::duplicate_key) {
        if (as == InsertAs::new_row && is_sync_key(ctx, outcome.key_name)) {
            row = row_at(tunnel, rows, number, lengths);
            return row ? update_row(ctx, row, lengths) : 0;
        }
        ctx.report_error(target);
        ++ctx.counts.failures;
        return 0;
    }
    if (outcome.kind != StatementOutcome::ok) return 0;
    if (outcome.affected_rows != 1 && ctx.writes_target()) {
        StrBuf where;
        row = row_at(tunnel, rows, number, lengths);
        if (row) append_row_identification(ctx, where, row, lengths, true);
        landed_as_expected(ctx, outcome, {1, row_named(where)});
        return 0;
    }
    ++counted;
    return 1;
}

// "DELETE FROM t WHERE (...)" for a row the target holds: key values at 0 .. n - 1 of a
// target row, or at the key columns' places of a source row.
int delete_row(SyncContext& ctx, MYSQL_ROW row, const unsigned long* lengths, bool source) {
    StrBuf where;
    if (!append_row_identification(ctx, where, row, lengths, source)) return 0;
    StrBuf statement;
    statement.format("DELETE FROM %s %s ", ctx.plan.table.c_str(), where.c_str());
    const std::string what = row_named(where);
    const ExpectedRows expected{1, what};
    return apply_statement(ctx, ctx.target(), statement, &expected);
}

}  // namespace

int append_value_list(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths) {
    for (std::size_t i = 0; i < ctx.plan.row_columns.size(); ++i) {
        if (i > 0) out.append(", ");
        if (!append_literal(ctx.target(), out, ctx.plan.columns[ctx.plan.row_columns[i]], row[i], lengths[i])) return 0;
    }
    return 1;
}

int append_key_match(SyncContext& ctx, SyncSide& side, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                     bool source) {
    static const ColumnDefinition undescribed;
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        const KeyColumn& key = ctx.plan.keys[k];
        const int at = source ? key.result_index : static_cast<int>(k);
        if (at < 0 || !row[at]) return 0;
        const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
        if (k > 0) out.append(" AND ");
        out.append("`", 1);
        append_escaped_identifier(out, key.name);
        out.append("` = ");
        if (!append_literal(side, out, column ? *column : undescribed, row[at], lengths[at], key.unquoted)) return 0;
    }
    return 1;
}

int append_row_identification(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                              bool source) {
    out.append(" WHERE (");
    if (!append_key_match(ctx, ctx.target(), out, row, lengths, source)) return 0;
    out.append(")");
    return 1;
}

int apply_deletes(SyncContext& ctx, TunnelResult* target_rows, std::span<const RowAction> entries,
                  std::size_t& next) {
    Tunnel& tunnel = ctx.target().tunnel();
    for (next = 0; next < entries.size() && entries[next].action == RowActionCode::delete_row; ++next) {
        unsigned long* lengths = nullptr;
        MYSQL_ROW row = row_at(tunnel, target_rows, entries[next].row, lengths);
        if (!row) return 0;
        ctx.set_status("Retrieving table row...");
        ctx.set_status_count("Table row obtained...\r\nDeleting row: %d", ctx.counts.deleted);
        if (!delete_row(ctx, row, lengths, false)) return 0;
        ++ctx.counts.deleted;
    }
    return 1;
}

int apply_inserts(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries,
                  std::size_t& next) {
    for (next = 0; next < entries.size() && entries[next].action == RowActionCode::insert_row; ++next)
        if (!insert_row(ctx, source_rows, entries[next].row, InsertAs::new_row)) return 0;
    return 1;
}

int apply_updates(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    Tunnel& tunnel = ctx.source().tunnel();
    for (std::size_t i = 0; i < entries.size() && entries[i].action == RowActionCode::update_row; ++i) {
        unsigned long* lengths = nullptr;
        MYSQL_ROW row = row_at(tunnel, source_rows, entries[i].row, lengths);
        if (!row) return 0;
        ctx.set_status("Retrieving table row...");
        if (!update_row(ctx, row, lengths)) return 0;
    }
    return 1;
}

int remove_rows_to_update(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    Tunnel& tunnel = ctx.source().tunnel();
    for (std::size_t i = 0; i < entries.size() && entries[i].action == RowActionCode::update_row; ++i) {
        unsigned long* lengths = nullptr;
        MYSQL_ROW row = row_at(tunnel, source_rows, entries[i].row, lengths);
        if (!row || !delete_row(ctx, row, lengths, true)) return 0;
    }
    return 1;
}

int insert_updated_rows(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    for (std::size_t i = 0; i < entries.size() && entries[i].action == RowActionCode::update_row; ++i)
        if (!insert_row(ctx, source_rows, entries[i].row, InsertAs::staged_update)) return 0;
    return 1;
}

}  // namespace kro::sync

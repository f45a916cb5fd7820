#include "sync/row_apply.h"

#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/numbered_rows.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::report;

namespace kro::sync {

namespace {

// The entries' rows of a stored result, found in one walk.
NumberedRows rows_of(Tunnel& tunnel, TunnelResult* rows, std::span<const RowAction> entries) {
    std::vector<std::uint32_t> numbers;
    numbers.reserve(entries.size());
    for (const RowAction& entry : entries) numbers.push_back(entry.row);
    return NumberedRows(tunnel, rows, numbers);
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
int build_update(SyncContext& ctx, MYSQL_ROW row, const unsigned long* lengths, std::size_t ahead, StrBuf& statement) {
    StrBuf where;
    if (!append_row_identification(ctx, where, row, lengths, true)) return 0;
    statement.format("UPDATE %s SET ", ctx.plan.table.c_str());
    for (std::size_t i = 0; i < ctx.plan.row_columns.size(); ++i) {
        const ColumnDefinition& column = ctx.plan.columns[ctx.plan.row_columns[i]];
        if (i > 0) statement.append(", ");
        statement.append("`", 1);
        append_escaped_identifier(statement, column.name);
        statement.append("`=", 2);
        if (!append_literal(ctx.target(), statement, column, row[i], lengths[i])) return 0;
    }
    ctx.set_status_count("Table row obtained...\r\nUpdating row: %d", ctx.counts.updated + static_cast<unsigned>(ahead));
    statement.append_format(" %s ", where.c_str());
    return 1;
}

// An update the target took: it must have met its row.
int settle_update(SyncContext& ctx, MYSQL_ROW row, const unsigned long* lengths, const StatementOutcome& outcome) {
    if (outcome.affected_rows != 1 && ctx.writes_target()) {
        StrBuf where;
        append_row_identification(ctx, where, row, lengths, true);
        const bool unchanged_but_there = outcome.affected_rows == 0 && row_exists(ctx, where);
        if (!unchanged_but_there && !landed_as_expected(ctx, outcome, {1, row_named(where)})) return 0;
    }
    ++ctx.counts.updated;
    return 1;
}

int update_row(SyncContext& ctx, MYSQL_ROW row, const unsigned long* lengths) {
    StrBuf statement;
    if (!build_update(ctx, row, lengths, 0, statement)) return 0;
    const StatementOutcome outcome = send_change(ctx, ctx.target(), statement);
    return outcome.kind == StatementOutcome::ok ? settle_update(ctx, row, lengths, outcome) : 0;
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

// The entries from the first one that carry the action.
std::size_t leading(std::span<const RowAction> entries, RowActionCode action) {
    std::size_t count = 0;
    while (count < entries.size() && entries[count].action == action) ++count;
    return count;
}

// "INSERT INTO t (...) VALUES (...)" for each source row of the entries. A new row that is
// on the target already by the sync's key is updated instead; a duplicate on any other
// unique key fails the table, since updating by the sync's key would change another row or
// none.
int insert_rows(SyncContext& ctx, TunnelResult* rows, std::span<const RowAction> entries, InsertAs as) {
    const NumberedRows found = rows_of(ctx.source().tunnel(), rows, entries);
    unsigned& counted = as == InsertAs::new_row ? ctx.counts.inserted : ctx.counts.updated;
    const auto build = [&](std::size_t entry, std::size_t ahead, StrBuf& statement) {
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(entry, lengths);
        if (!row) return 0;
        ctx.set_status("Retrieving table row...");
        ctx.set_status_count(as == InsertAs::new_row ? "Table row obtained...\r\nInserting row: %d"
                                                     : "Table row obtained...\r\nUpdating row: %d",
                             counted + static_cast<unsigned>(ahead));
        StrBuf values;
        if (!append_value_list(ctx, values, row, lengths)) return 0;
        // Named columns: a column list leaves the others their defaults, and INVISIBLE
        // columns are there only when named.
        statement.format("INSERT INTO %s (%s) VALUES (%s)", ctx.plan.table.c_str(), ctx.plan.row_names.c_str(),
                         values.c_str());
        return 1;
    };
    const auto settle = [&](std::size_t entry, const StatementOutcome& outcome) {
        const bool landed = outcome.kind == StatementOutcome::ok && (outcome.affected_rows == 1 || !ctx.writes_target());
        if (landed) {
            ++counted;
            return 1;
        }
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(entry, lengths);
        if (outcome.kind == StatementOutcome::duplicate_key) {
            if (as == InsertAs::new_row && is_sync_key(ctx, outcome.key_name)) return row ? update_row(ctx, row, lengths) : 0;
            ctx.report_error(ctx.target());
            ++ctx.counts.failures;
            return 0;
        }
        // Taken, but it did not add exactly its row.
        StrBuf where;
        if (row) append_row_identification(ctx, where, row, lengths, true);
        landed_as_expected(ctx, outcome, {1, row_named(where)});
        return 0;
    };
    return send_changes(ctx, entries.size(), DuplicateKeys::answer, build, settle);
}

// "DELETE FROM t WHERE (...)" for each row of the entries that the target holds: key
// values at 0 .. n - 1 of target rows (the chunk's deletes, counted), or at the key
// columns' places of source rows (the rows of staged updates).
int delete_rows(SyncContext& ctx, TunnelResult* rows, std::span<const RowAction> entries, bool source) {
    const NumberedRows found = rows_of(source ? ctx.source().tunnel() : ctx.target().tunnel(), rows, entries);
    const auto where_of = [&](std::size_t entry, StrBuf& where) {
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(entry, lengths);
        return row && append_row_identification(ctx, where, row, lengths, source);
    };
    const auto build = [&](std::size_t entry, std::size_t ahead, StrBuf& statement) {
        if (!source) {
            ctx.set_status("Retrieving table row...");
            ctx.set_status_count("Table row obtained...\r\nDeleting row: %d",
                                 ctx.counts.deleted + static_cast<unsigned>(ahead));
        }
        StrBuf where;
        if (!where_of(entry, where)) return 0;
        statement.format("DELETE FROM %s %s ", ctx.plan.table.c_str(), where.c_str());
        return 1;
    };
    const auto settle = [&](std::size_t entry, const StatementOutcome& outcome) {
        if (outcome.affected_rows != 1 && ctx.writes_target()) {
            StrBuf where;
            where_of(entry, where);
            landed_as_expected(ctx, outcome, {1, row_named(where)});
            return 0;
        }
        if (!source) ++ctx.counts.deleted;
        return 1;
    };
    return send_changes(ctx, entries.size(), DuplicateKeys::fail, build, settle);
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
    next = leading(entries, RowActionCode::delete_row);
    return delete_rows(ctx, target_rows, entries.first(next), false);
}

int apply_inserts(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries,
                  std::size_t& next) {
    next = leading(entries, RowActionCode::insert_row);
    return insert_rows(ctx, source_rows, entries.first(next), InsertAs::new_row);
}

int apply_updates(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    const std::span<const RowAction> updates = entries.first(leading(entries, RowActionCode::update_row));
    const NumberedRows found = rows_of(ctx.source().tunnel(), source_rows, updates);
    const auto build = [&](std::size_t entry, std::size_t ahead, StrBuf& statement) {
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(entry, lengths);
        if (!row) return 0;
        ctx.set_status("Retrieving table row...");
        return build_update(ctx, row, lengths, ahead, statement);
    };
    const auto settle = [&](std::size_t entry, const StatementOutcome& outcome) {
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(entry, lengths);
        return row ? settle_update(ctx, row, lengths, outcome) : 0;
    };
    return send_changes(ctx, updates.size(), DuplicateKeys::fail, build, settle);
}

int remove_rows_to_update(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    return delete_rows(ctx, source_rows, entries.first(leading(entries, RowActionCode::update_row)), true);
}

int insert_updated_rows(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries) {
    return insert_rows(ctx, source_rows, entries.first(leading(entries, RowActionCode::update_row)),
                       InsertAs::staged_update);
}

}  // namespace kro::sync

#include "sync/row_apply.h"

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/statement_sink.h"

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
    if (!apply_statement(ctx, ctx.target(), statement)) return 0;
    ++ctx.counts.updated;
    return 1;
}

}  // namespace

int append_value_list(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths) {
    for (std::size_t i = 0; i < ctx.plan.row_columns.size(); ++i) {
        if (i > 0) out.append(", ");
        if (!append_literal(ctx.target(), out, ctx.plan.columns[ctx.plan.row_columns[i]], row[i], lengths[i])) return 0;
    }
    return 1;
}

int append_row_identification(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                              bool source) {
    static const ColumnDefinition undescribed;
    out.append(" WHERE (");
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        const KeyColumn& key = ctx.plan.keys[k];
        const int at = source ? key.result_index : static_cast<int>(k);
        if (at < 0 || !row[at]) return 0;
        const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
        if (k > 0) out.append(" AND ");
        out.append("`", 1);
        append_escaped_identifier(out, key.name);
        out.append("` = ");
        if (!append_literal(ctx.target(), out, column ? *column : undescribed, row[at], lengths[at], key.unquoted))
            return 0;
    }
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
        StrBuf where;
        if (!append_row_identification(ctx, where, row, lengths, false)) return 0;
        ctx.set_status_count("Table row obtained...\r\nDeleting row: %d", ctx.counts.deleted);
        StrBuf statement;
        statement.format("DELETE FROM %s %s ", ctx.plan.table.c_str(), where.c_str());
        if (!apply_statement(ctx, ctx.target(), statement)) return 0;
        ++ctx.counts.deleted;
    }
    return 1;
}

int apply_inserts(SyncContext& ctx, TunnelResult* source_rows, std::span<const RowAction> entries,
                  std::size_t& next) {
    Tunnel& tunnel = ctx.source().tunnel();
    SyncSide& target = ctx.target();
    for (next = 0; next < entries.size() && entries[next].action == RowActionCode::insert_row; ++next) {
        unsigned long* lengths = nullptr;
        MYSQL_ROW row = row_at(tunnel, source_rows, entries[next].row, lengths);
        if (!row) return 0;
        ctx.set_status("Retrieving table row...");
        ctx.set_status_count("Table row obtained...\r\nInserting row: %d", ctx.counts.inserted);
        StrBuf values;
        if (!append_value_list(ctx, values, row, lengths)) return 0;
        // Named columns: a column list leaves the others their defaults, and INVISIBLE
        // columns are there only when named.
        StrBuf statement;
        statement.format("INSERT INTO %s (%s) VALUES (%s)", ctx.plan.table.c_str(), ctx.plan.row_names.c_str(),
                         values.c_str());
        // Only a row that is there already is updated instead; any other refusal (a value the
        // column cannot hold, a foreign key) is a failed statement.
        const StatementOutcome outcome = send_change(ctx, target, statement, DuplicateKeys::answer);
        if (outcome.kind == StatementOutcome::failed) return 0;
        if (outcome.kind == StatementOutcome::duplicate_key) {
            row = row_at(tunnel, source_rows, entries[next].row, lengths);
            if (!row || !update_row(ctx, row, lengths)) return 0;
            continue;
        }
        ++ctx.counts.inserted;
    }
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

}  // namespace kro::sync

#include "sync/row_apply.h"

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
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

// The source row's own columns: those before "__crc" (sort columns may follow it).
unsigned row_columns(Tunnel& tunnel, TunnelResult* rows) {
    int crc = column_index(tunnel, rows, "__crc");
    return crc >= 0 ? static_cast<unsigned>(crc) : tunnel.num_fields(rows) - 1;
}

// "UPDATE t SET `a`='1', `b`=NULL  WHERE (...) " for a source row (all columns but "__crc").
int update_row(SyncContext& ctx, TunnelResult* rows, MYSQL_ROW row, const unsigned long* lengths) {
    Tunnel& tunnel = ctx.source().tunnel();
    StrBuf where;
    if (!append_row_identification(ctx, where, row, lengths, true)) return 0;
    const unsigned count = row_columns(tunnel, rows);
    MYSQL_FIELD* fields = tunnel.fetch_fields(rows);
    StrBuf statement;
    statement.format("UPDATE %s SET ", ctx.plan.table.c_str());
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0) statement.append(", ");
        statement.append("`", 1);
        append_escaped_identifier(statement, fields[i].name ? fields[i].name : "");
        statement.append("`=", 2);
        if (!append_value(ctx.target(), statement, row[i], lengths[i])) return 0;
    }
    ctx.set_status_count("Table row obtained...\r\nUpdating row: %d", ctx.counts.updated);
    statement.append_format(" %s ", where.c_str());
    if (!apply_statement(ctx, ctx.target(), statement)) return 0;
    ++ctx.counts.updated;
    return 1;
}

}  // namespace

bool append_escaped(SyncSide& side, StrBuf& out, const char* value, unsigned long length) {
    if (append_escaped_value(out, side.tunnel(), side.handle(), value, length)) return true;
    report_failure("A value could not be escaped for the target connection's character set.\r\n");
    return false;
}

bool append_value(SyncSide& side, StrBuf& out, const char* value, unsigned long length) {
    if (!value) {
        out.append("NULL");
        return true;
    }
    out.append("'", 1);
    if (!append_escaped(side, out, value, length)) return false;
    out.append("'", 1);
    return true;
}

int append_value_list(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0) out.append(", ");
        if (!append_value(ctx.target(), out, row[i], lengths[i])) return 0;
    }
    return 1;
}

int append_row_identification(SyncContext& ctx, StrBuf& out, MYSQL_ROW row, const unsigned long* lengths,
                              bool source) {
    out.append(" WHERE (");
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        const KeyColumn& key = ctx.plan.keys[k];
        const int at = source ? key.result_index : static_cast<int>(k);
        if (at < 0 || !row[at]) return 0;
        if (k > 0) out.append(" AND ");
        out.append("`", 1);
        append_escaped_identifier(out, key.name);
        out.append(key.unquoted ? "` = " : "` = '");
        if (!append_escaped(ctx.target(), out, row[at], lengths[at])) return 0;
        if (!key.unquoted) out.append("'", 1);
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
        if (!append_value_list(ctx, values, row, lengths, row_columns(tunnel, source_rows))) return 0;
        StrBuf statement;
        statement.format("INSERT INTO %s VALUES (%s)", ctx.plan.table.c_str(), values.c_str());
        // Only a row that is there already is updated instead; any other refusal (a value the
        // column cannot hold, a foreign key) is a failed statement.
        const StatementOutcome outcome = send_change(ctx, target, statement, DuplicateKeys::answer);
        if (outcome.kind == StatementOutcome::failed) return 0;
        if (outcome.kind == StatementOutcome::duplicate_key) {
            row = row_at(tunnel, source_rows, entries[next].row, lengths);
            if (!row || !update_row(ctx, source_rows, row, lengths)) return 0;
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
        if (!update_row(ctx, source_rows, row, lengths)) return 0;
    }
    return 1;
}

}  // namespace kro::sync

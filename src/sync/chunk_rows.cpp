#include "sync/chunk_work.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connection/helper_queries.h"
#include "report/reporting.h"
#include "sync/chunk_changes.h"
#include "sync/column_values.h"
#include "sync/numbered_rows.h"
#include "sync/row_merge.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

// The positions the merge reads, from the two results' column names; false when one is
// missing. Also records each key column's place in the source rows.
bool merge_columns(SyncContext& ctx, TunnelResult* source, TunnelResult* target, const RowLayout& layout,
                   MergeColumns& columns) {
    Tunnel& s = ctx.source().tunnel();
    Tunnel& t = ctx.target().tunnel();
    int source_crc = column_index(s, source, "__crc");
    int target_crc = column_index(t, target, "__crc");
    if (source_crc < 0 || target_crc < 0) return false;
    columns.source_crc = static_cast<unsigned>(source_crc);
    columns.target_crc = static_cast<unsigned>(target_crc);
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        int at = column_index(s, source, ctx.plan.keys[k].name.c_str());
        if (at < 0 || at >= source_crc) return false;
        ctx.plan.keys[k].result_index = at;
        int source_at = at, target_at = static_cast<int>(k);
        if (!layout.sorts[k].expression.empty()) {
            std::string name = "__k" + std::to_string(k);
            source_at = column_index(s, source, name.c_str());
            target_at = column_index(t, target, name.c_str());
            if (source_at < 0 || target_at < 0) return false;
        }
        columns.source_keys.push_back(static_cast<unsigned>(source_at));
        columns.target_keys.push_back(static_cast<unsigned>(target_at));
        columns.orders.push_back(layout.sorts[k].order);
    }
    return true;
}

// Both sides' statements at once; a side that failed is reported.
bool run_pair(SyncContext& ctx, ChunkQuery& source, ChunkQuery& target) {
    ctx.set_status(calculating);
    run_both(source, target);
    ctx.set_status("");
    if (!source.result) ctx.report_error(ctx.source());
    else if (!target.result) ctx.report_error(ctx.target());
    return source.result && target.result;
}

// merge_columns, reporting a failure.
bool found_columns(SyncContext& ctx, TunnelResult* source, TunnelResult* target, const RowLayout& layout,
                   MergeColumns& columns) {
    if (merge_columns(ctx, source, target, layout, columns)) return true;
    StrBuf text;
    text.format("The rows of table %s came back without their key columns; the table was not synced.\r\n",
                ctx.plan.table.c_str());
    report_failure(text.c_str());
    return false;
}

bool is_digest(const char* text, unsigned long length) {
    if (!text || length != 16) return false;
    for (unsigned long i = 0; i < length; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// Reads whole from the source just the rows the merge will write, found by their keys,
// into rows, and numbers the actions after that result: 1. 0 (actions unchanged) when they
// did not come back exactly as the merge saw them (same digests, in order): then the chunk
// is read whole instead. -1 when the statement failed (reported).
int read_rows_to_write(SyncContext& ctx, const ChunkWork& work, TunnelResult* keys, unsigned crc,
                       std::vector<RowAction>& actions, ResultPtr& rows) {
    Tunnel& tunnel = ctx.source().tunnel();
    std::vector<std::uint32_t> numbers;
    for (const RowAction& action : actions)
        if (action.action == RowActionCode::insert_row || action.action == RowActionCode::update_row)
            numbers.push_back(action.row);
    const NumberedRows found(tunnel, keys, numbers);
    std::vector<std::string> digests;
    StrBuf only;
    only.append("(");
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const unsigned long* lengths = nullptr;
        MYSQL_ROW row = found.row(i, lengths);
        if (!row || !is_digest(row[crc], lengths[crc])) return 0;
        digests.emplace_back(row[crc], lengths[crc]);
        // The keys come first in the row, as the target lays out its rows.
        only.append(digests.size() == 1 ? "(" : " OR (");
        if (!append_key_match(ctx, ctx.source(), only, row, lengths, false)) return 0;
        only.append(")");
    }
    only.append(")");
    rows = query_side(ctx.source(), work.source_rows(only.str()).c_str());
    if (!rows) {
        ctx.report_error(ctx.source());
        return -1;
    }
    const int at = column_index(tunnel, rows.get(), "__crc");
    bool same = at >= 0 && tunnel.num_rows(rows.get()) == digests.size();
    for (std::size_t i = 0; same && i < digests.size(); ++i) {
        MYSQL_ROW row = tunnel.fetch_row(rows.get());
        unsigned long* lengths = row ? tunnel.fetch_lengths(rows.get()) : nullptr;
        same = row && row[at] && std::string_view(row[at], lengths[at]) == digests[i];
    }
    if (!same) {
        rows.reset();
        return 0;
    }
    std::uint32_t number = 0;
    for (RowAction& action : actions)
        if (action.action == RowActionCode::insert_row || action.action == RowActionCode::update_row)
            action.row = ++number;
    return 1;
}

}  // namespace

bool row_layout(SyncContext& ctx, RowLayout& out) {
    out.sorts.assign(ctx.plan.keys.size(), KeySort{});
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        const ColumnDefinition* column = find_column(ctx.plan.columns, ctx.plan.keys[k].name);
        if (!column) return false;
        out.sorts[k] = key_sort(*column);
        out.target_keys += (k ? "," : "") + read_item(*column);
        if (!out.sorts[k].expression.empty())
            out.sort_columns += ", " + out.sorts[k].expression + " AS `__k" + std::to_string(k) + "`";
    }
    return true;
}

ChunkQuery side_query(SyncSide& side, std::string statement) {
    ChunkQuery query;
    query.side = &side;
    query.statement = std::move(statement);
    return query;
}

// The rows of a chunk: the keys and digests of both sides are read at once and merged;
// the source's rows to write are then read whole by their keys, and what the target needs
// is applied between the batch markers of the script. A chunk whose checksums differed is
// known to differ and gets its markers whatever the merge finds; one read without
// checksums is equal when every row has its match.
ChunkOutcome compare_chunk_rows(SyncContext& ctx, ChunkWork& work, const RowLayout& layout,
                                bool known_different) {
    StrBuf marker;
    if (known_different && ctx.writes_script()) {
        marker.format("\t/*Start of batch : %d */\n", work.chunk + 1);
        ctx.script().append(marker);
    }
    ChunkQuery source = side_query(ctx.source(), work.source_keys);
    ChunkQuery target = side_query(ctx.target(), work.target_rows);
    if (!run_pair(ctx, source, target)) return ChunkOutcome::failed;
    MergeColumns columns;
    if (!found_columns(ctx, source.result.get(), target.result.get(), layout, columns)) return ChunkOutcome::failed;
    const bool deletes = ctx.plan.delete_allowed && !ctx.plan.filter;
    std::vector<RowAction> actions;
    MergeCount count = merge_rows(ctx.source().tunnel(), source.result.get(), ctx.target().tunnel(),
                                  target.result.get(), columns, deletes, actions);
    if (ctx.plan.only_deletes) {
        std::erase_if(actions, [](const RowAction& a) { return a.action != RowActionCode::delete_row; });
        count.to_write = 0;
    }
    if (!count.unmatched && !known_different) return ChunkOutcome::equal;
    if (!known_different && ctx.writes_script()) {
        marker.format("\t/*Start of batch : %d */\n", work.chunk + 1);
        ctx.script().append(marker);
    }

    // The rows to write, read whole: by their keys when they are few, else the chunk.
    ResultPtr rows;
    const std::size_t source_rows = ctx.source().tunnel().num_rows(source.result.get());
    if (count.to_write > 0 && count.to_write * 2 <= source_rows &&
        read_rows_to_write(ctx, work, source.result.get(), columns.source_crc, actions, rows) < 0)
        return ChunkOutcome::failed;
    if (count.to_write > 0 && !rows) {
        rows = query_side(ctx.source(), work.source_rows({}).c_str());
        if (!rows) {
            ctx.report_error(ctx.source());
            return ChunkOutcome::failed;
        }
        ctx.target().tunnel().data_seek(target.result.get(), 0);
        columns = MergeColumns{};
        if (!found_columns(ctx, rows.get(), target.result.get(), layout, columns)) return ChunkOutcome::failed;
        merge_rows(ctx.source().tunnel(), rows.get(), ctx.target().tunnel(), target.result.get(), columns, deletes,
                   actions);
    } else if (rows) {
        // The key columns' places in the whole rows, which name a row to update.
        MergeColumns places;
        if (!found_columns(ctx, rows.get(), target.result.get(), layout, places)) return ChunkOutcome::failed;
    }
    source.result.reset();
    sort_actions(actions);

    const int ok = apply_chunk_changes(ctx, target.result.get(), rows.get(), actions);
    target.result.reset();

    if (ctx.writes_script()) {
        marker.format("\t/*End   of batch : %d */\n", work.chunk + 1);
        ctx.script().append(marker);
    }
    return ok ? ChunkOutcome::repaired : ChunkOutcome::failed;
}

}  // namespace kro::sync

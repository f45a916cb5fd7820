#include "sync/chunk_compare.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <strings.h>
#include <vector>

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/progress_line.h"
#include "report/reporting.h"
#include "sync/chunk_query.h"
#include "sync/chunk_statements.h"
#include "sync/column_values.h"
#include "sync/key_conditions.h"
#include "sync/range_plan.h"
#include "sync/row_merge.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

constexpr const char* calculating = "Calculating checksum...\r\nCalculating checksum...";

// What the row statements select besides the table's columns and digest, from the source:
// the sort columns both sides carry for key columns whose text does not sort as the server
// does, how the merge compares each key column, and the target's key columns read as the
// source's are (column_values.h), so that a DELETE finds its row by them.
struct RowLayout {
    std::vector<KeySort> sorts;
    std::string sort_columns;  // ", expr AS `__k0`, ..."
    std::string target_keys;   // the key columns, in key order
};

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

ChunkTable chunk_table(const SyncContext& ctx, const std::string& checksum_expression) {
    return {ctx.plan.table, checksum_expression, ctx.plan.row_select, ctx.plan.filter.value_or("")};
}

ChunkQuery side_query(SyncSide& side, std::string statement) {
    ChunkQuery query;
    query.side = &side;
    query.statement = std::move(statement);
    return query;
}

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

// The rows of a differing chunk: read both sides at once, merge, and apply what the
// target needs, between the batch markers of the script.
int compare_chunk_rows(SyncContext& ctx, ChunkQuery& source, ChunkQuery& target, int chunk,
                       const RowLayout& layout) {
    StrBuf marker;
    if (ctx.writes_script()) {
        marker.format("\t/*Start of batch : %d */\n", chunk + 1);
        ctx.script().append(marker);
    }
    if (!run_pair(ctx, source, target)) return 0;
    MergeColumns columns;
    if (!merge_columns(ctx, source.result.get(), target.result.get(), layout, columns)) {
        StrBuf text;
        text.format("The rows of table %s came back without their key columns; the table was not synced.\r\n",
                    ctx.plan.table.c_str());
        report_failure(text.c_str());
        return 0;
    }

    bool deletes = ctx.plan.delete_allowed && !ctx.plan.filter;
    std::vector<RowAction> actions;
    merge_rows(ctx.source().tunnel(), source.result.get(), ctx.target().tunnel(), target.result.get(), columns,
               deletes, actions);
    sort_actions(actions);

    // Sorted: deletes, inserts, updates.
    std::span<const RowAction> entries(actions);
    std::size_t used = 0;
    int ok = apply_deletes(ctx, target.result.get(), entries, used);
    target.result.reset();
    entries = entries.subspan(used);
    const auto first_update = std::find_if(entries.begin(), entries.end(),
                                           [](const RowAction& a) { return a.action == RowActionCode::update_row; });
    const std::span<const RowAction> updates = entries.subspan(static_cast<std::size_t>(first_update - entries.begin()));
    TunnelResult* rows = source.result.get();
    if (ok && ctx.plan.staged_updates) ok = remove_rows_to_update(ctx, rows, updates);
    if (ok) ok = apply_inserts(ctx, rows, entries, used);
    if (ok) ok = ctx.plan.staged_updates ? insert_updated_rows(ctx, rows, updates) : apply_updates(ctx, rows, updates);

    if (ctx.writes_script()) {
        marker.format("\t/*End   of batch : %d */\n", chunk + 1);
        ctx.script().append(marker);
    }
    return ok;
}

// The four statements of one chunk: each side's checksum and each side's rows.
struct ChunkWork {
    int chunk = 0;
    std::string source_sum, target_sum, source_rows, target_rows;
};

// Gives the next chunk's work: 1, or 0 after the last chunk, or -1 after a failure it
// reported.
using NextChunk = std::function<int(ChunkWork&)>;

// Chunks are checksummed in runs that grow while they come out equal (to kLongestRun), so
// that each side works through a run at its own pace instead of waiting for the other
// after every chunk. A differing chunk ends its run: its rows are repaired, and the
// checksums after it are dropped and taken again, so that every checksum compared was
// taken after the repairs of the chunks before it.
constexpr std::size_t kLongestRun = 64;

bool sums_equal(SyncContext& ctx, ChunkQuery& source, ChunkQuery& target) {
    MYSQL_ROW s = ctx.source().tunnel().fetch_row(source.result.get());
    unsigned long* s_lengths = s ? ctx.source().tunnel().fetch_lengths(source.result.get()) : nullptr;
    MYSQL_ROW t = ctx.target().tunnel().fetch_row(target.result.get());
    unsigned long* t_lengths = t ? ctx.target().tunnel().fetch_lengths(target.result.get()) : nullptr;
    return s && t && s[2] && t[2] && s_lengths[2] == t_lengths[2] &&
           std::string_view(s[2], s_lengths[2]) == std::string_view(t[2], t_lengths[2]);
}

int compare_chunks(SyncContext& ctx, const NextChunk& next, const RowLayout& layout, ProgressLine& progress) {
    std::deque<ChunkWork> pending;  // made, not yet compared
    bool made_all = false, next_failed = false;
    std::size_t run = 1;
    for (;;) {
        while (!made_all && pending.size() < run) {
            ChunkWork work;
            int made = next(work);
            // The chunks made before a failure are still compared and repaired; the
            // failure (already reported) then ends the table.
            next_failed = made < 0;
            if (made <= 0) made_all = true;
            else pending.push_back(std::move(work));
        }
        if (pending.empty()) return next_failed ? 0 : 1;
        const std::size_t count = std::min(run, pending.size());
        progress.update(static_cast<std::uint64_t>(pending.front().chunk));
        std::vector<ChunkQuery> source, target;
        for (std::size_t i = 0; i < count; ++i) {
            source.push_back(side_query(ctx.source(), pending[i].source_sum));
            target.push_back(side_query(ctx.target(), pending[i].target_sum));
            // Each side starts its next chunk's digest afresh.
            source.back().after = target.back().after = "SET @crc := ''";
        }
        ctx.set_status(calculating);
        run_both(source, target);
        ctx.set_status("");
        std::size_t equal = 0;
        for (; equal < count; ++equal) {
            if (!source[equal].result) {
                ctx.report_error(ctx.source());
                return 0;
            }
            if (!target[equal].result) {
                ctx.report_error(ctx.target());
                return 0;
            }
            if (!sums_equal(ctx, source[equal], target[equal])) break;
        }
        source.clear();
        target.clear();
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(equal));
        if (equal == count) {
            run = std::min(run * 2, kLongestRun);
            continue;
        }
        ChunkWork work = std::move(pending.front());
        pending.pop_front();
        ChunkQuery source_rows = side_query(ctx.source(), std::move(work.source_rows));
        ChunkQuery target_rows = side_query(ctx.target(), std::move(work.target_rows));
        if (!compare_chunk_rows(ctx, source_rows, target_rows, work.chunk, layout)) return 0;
        run = 1;
    }
}

// The source's answer to a statement of two columns.
std::optional<TextPair> two_columns(SyncSide& side, const std::string& statement) {
    ResultPtr result = query_side(side, statement.c_str());
    if (!result) return std::nullopt;
    MYSQL_ROW row = side.tunnel().fetch_row(result.get());
    if (!row || side.tunnel().num_fields(result.get()) < 2) return std::nullopt;
    TextPair pair;
    if (row[0]) pair.first = row[0];
    if (row[1]) pair.second = row[1];
    return pair;
}

std::optional<RangeKind> range_kind(KeyClass key_class) {
    switch (key_class) {
    case KeyClass::integer: return RangeKind::integer;
    case KeyClass::floating: return RangeKind::floating;
    case KeyClass::timestamp: return RangeKind::timestamp;
    case KeyClass::time: return RangeKind::time;
    case KeyClass::other: break;
    }
    return std::nullopt;
}

void report_no_plan(SyncContext& ctx) {
    StrBuf text;
    text.format("The key range of table %s could not be divided into chunks; the table was not synced.\r\n",
                ctx.plan.table.c_str());
    report_failure(text.c_str());
}

// The boundary row's key values for the tuple conditions, as literals: an ENUM or SET
// key's member number and an integer or floating-point key as they are, any other key as
// the literal of its column.
std::vector<BoundaryValue> boundary_values(SyncContext& ctx, TunnelResult* result, MYSQL_ROW row) {
    static const ColumnDefinition undescribed;
    SyncSide& source = ctx.source();
    unsigned long* lengths = source.tunnel().fetch_lengths(result);
    std::vector<BoundaryValue> values;
    for (std::size_t k = 0; k < ctx.plan.keys.size(); ++k) {
        const KeyColumn& key = ctx.plan.keys[k];
        const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
        StrBuf literal;
        append_literal(source, literal, column ? *column : undescribed, row[k] ? row[k] : "", row[k] ? lengths[k] : 0,
                       key.unquoted || key.member);
        values.push_back({key.name, literal.str(), true});
    }
    return values;
}

}  // namespace

int compare_by_ranges(SyncContext& ctx, const std::string& key, KeyClass key_class,
                      const std::string& checksum_expression, std::uint64_t source_rows, bool& no_plan) {
    no_plan = false;
    std::optional<RangeKind> kind = range_kind(key_class);
    if (!kind) {
        no_plan = true;
        report_no_plan(ctx);
        return 0;
    }
    ctx.plan.keys.assign(1, KeyColumn{key, key_class, *kind == RangeKind::integer || *kind == RangeKind::floating, -1});
    SyncSide& source = ctx.source();
    KeyRangePlan plan(key, *kind, source_rows,
                      [&source](const std::string& statement) { return two_columns(source, statement); });
    if (source_rows > 0) {
        std::string bounds = "SELECT MIN(" + backquoted(key) + "), MAX(" + backquoted(key) + ") FROM " + ctx.plan.table;
        std::optional<TextPair> range = two_columns(source, bounds);
        if (!range || !range->first || !range->second ||
            !plan.make_plan(range->first->c_str(), range->second->c_str())) {
            no_plan = true;
            report_no_plan(ctx);
            return 0;
        }
    }
    RowLayout layout;
    if (!row_layout(ctx, layout)) return 0;
    ChunkTable table = chunk_table(ctx, checksum_expression);
    ProgressLine progress(ctx.plan.console_line, "chunks");
    progress.expect(static_cast<std::uint64_t>(plan.last()) + 1);
    int chunk = 0;
    auto next = [&](ChunkWork& work) {
        if (chunk > plan.last()) return 0;
        std::string where = plan.range_condition(chunk);
        work.chunk = chunk++;
        work.source_sum = range_checksum_source(work.chunk, table, where);
        work.target_sum = range_checksum_target(work.chunk, table, where);
        work.source_rows = range_rows_source(table, where, key, layout.sort_columns);
        work.target_rows = range_rows_target(table, where, key, layout.target_keys, layout.sort_columns);
        return 1;
    };
    return compare_chunks(ctx, next, layout, progress);
}

int compare_by_key_order(SyncContext& ctx, const std::string& checksum_expression, const std::string& index_name) {
    RowLayout layout;
    if (!row_layout(ctx, layout)) return 0;
    std::vector<std::string> names;
    // The boundary row gives an ENUM or SET key's member number, which its conditions compare.
    std::string boundary_list;
    for (const KeyColumn& key : ctx.plan.keys) {
        names.push_back(key.name);
        const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
        boundary_list += (boundary_list.empty() ? "" : ",") +
                         (key.member ? backquoted(key.name) + "+0" : column ? read_value(*column) : backquoted(key.name));
    }
    const std::string order_by = order_by_list(names);
    const std::string base = "SELECT " + boundary_list + " FROM " + ctx.plan.table + " FORCE INDEX(" + backquoted(index_name) + ")";
    ChunkTable table = chunk_table(ctx, checksum_expression);
    SyncSide& source = ctx.source();

    // Each boundary is the key of the chunk's last row, counted from the previous boundary.
    const std::string limit = " limit " + std::to_string(kRowsPerChunk - 1) + ", 1";
    auto next_boundary = [&](const std::string& after) -> ResultPtr {
        std::string statement = after.empty() ? base + limit : base + " WHERE " + after + limit;
        ResultPtr result = query_side(source, statement.c_str());
        if (!result) {
            ctx.report_error(source);
        }
        return result;
    };
    ResultPtr boundary = next_boundary("");
    std::string lower;
    bool last_made = false;
    int chunk = 0;
    auto next = [&](ChunkWork& work) {
        if (last_made) return 0;
        if (!boundary) return -1;
        MYSQL_ROW row = source.tunnel().fetch_row(boundary.get());
        std::string upper = "1 = 1";
        std::string above;
        if (row) {
            std::vector<BoundaryValue> values = boundary_values(ctx, boundary.get(), row);
            upper = at_most(values);
            above = greater_than(values);
        }
        std::string where = chunk == 0 ? " WHERE ( " + upper + " )" : " WHERE ( " + lower + " ) AND ( " + upper + " )";
        work.chunk = chunk++;
        work.source_sum = order_checksum_source(work.chunk, table, where);
        work.target_sum = order_checksum_target(work.chunk, table, where);
        work.source_rows = order_rows_source(table, where, order_by, layout.sort_columns);
        work.target_rows = order_rows_target(table, where, order_by, layout.target_keys, layout.sort_columns);
        // A chunk without a boundary row reaches the end of the key.
        if (!row) {
            last_made = true;
        } else {
            boundary = next_boundary(above);
            lower = above;
        }
        return 1;
    };
    ProgressLine progress(ctx.plan.console_line, "chunks");
    progress.expect((ctx.plan.source_rows + kRowsPerChunk - 1) / kRowsPerChunk);
    return compare_chunks(ctx, next, layout, progress);
}

}  // namespace kro::sync

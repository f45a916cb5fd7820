#include "sync/chunk_compare.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <strings.h>
#include <vector>

#include "connection/helper_queries.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/progress_line.h"
#include "report/reporting.h"
#include "sync/chunk_changes.h"
#include "sync/chunk_query.h"
#include "sync/chunk_statements.h"
#include "sync/column_values.h"
#include "sync/key_conditions.h"
#include "sync/numbered_rows.h"
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

// The statements of one chunk: each side's checksum, the source's keys and digests, its
// whole rows (narrowed to some digests when given a condition), and the target's keys and
// digests.
struct ChunkWork {
    int chunk = 0;
    std::string source_sum, target_sum, source_keys, target_rows;
    std::function<std::string(const std::string& only)> source_rows;
};

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

enum class ChunkOutcome { failed, equal, repaired };

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

// Gives the next chunk's work: 1, or 0 after the last chunk, or -1 after a failure it
// reported.
using NextChunk = std::function<int(ChunkWork&)>;

// Chunks are checksummed in runs that grow while they come out equal (to kLongestRun), so
// that each side works through a run at its own pace instead of waiting for the other
// after every chunk. A differing chunk ends its run: its rows are repaired, and the
// checksums after it are dropped and taken again, so that every checksum compared was
// taken after the repairs of the chunks before it.
constexpr std::size_t kLongestRun = 64;
// After this many differing chunks in a row the checksums are likely to differ too: the
// chunks are then read row by row at once, until one comes out equal.
constexpr int kDifferingBeforeRows = 2;

// Whether the chunk's row counts and folded digests are the same on both sides.
bool sums_equal(SyncContext& ctx, ChunkQuery& source, ChunkQuery& target) {
    Tunnel& s_tunnel = ctx.source().tunnel();
    Tunnel& t_tunnel = ctx.target().tunnel();
    MYSQL_ROW s = s_tunnel.fetch_row(source.result.get());
    unsigned long* s_lengths = s ? s_tunnel.fetch_lengths(source.result.get()) : nullptr;
    MYSQL_ROW t = t_tunnel.fetch_row(target.result.get());
    unsigned long* t_lengths = t ? t_tunnel.fetch_lengths(target.result.get()) : nullptr;
    if (!s || !t) return false;
    for (int column : {1, 2})
        if (!s[column] || !t[column] ||
            std::string_view(s[column], s_lengths[column]) != std::string_view(t[column], t_lengths[column]))
            return false;
    return true;
}

int compare_chunks(SyncContext& ctx, const NextChunk& next, const RowLayout& layout,
                   ProgressLine& progress) {
    std::deque<ChunkWork> pending;  // made, not yet compared
    bool made_all = false, next_failed = false;
    std::size_t run = 1;
    int differing = 0;  // chunks in a row that needed repairs
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
        progress.update(static_cast<std::uint64_t>(pending.front().chunk));
        if (differing >= kDifferingBeforeRows) {
            ChunkWork work = std::move(pending.front());
            pending.pop_front();
            const ChunkOutcome outcome = compare_chunk_rows(ctx, work, layout, false);
            if (outcome == ChunkOutcome::failed) return 0;
            if (outcome == ChunkOutcome::equal) differing = 0;
            continue;
        }
        const std::size_t count = std::min(run, pending.size());
        std::vector<ChunkQuery> source, target;
        for (std::size_t i = 0; i < count; ++i) {
            source.push_back(side_query(ctx.source(), pending[i].source_sum));
            target.push_back(side_query(ctx.target(), pending[i].target_sum));
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
            differing = 0;
            continue;
        }
        if (equal > 0) differing = 0;
        ChunkWork work = std::move(pending.front());
        pending.pop_front();
        if (compare_chunk_rows(ctx, work, layout, true) == ChunkOutcome::failed) return 0;
        ++differing;
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
        work.source_keys = range_keys_source(table, where, key, layout.target_keys, layout.sort_columns);
        work.source_rows = [&table, where, &key, &layout](const std::string& only) {
            return range_rows_source(table, where, key, layout.sort_columns, only);
        };
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
        work.source_keys = order_keys_source(table, where, order_by, layout.target_keys, layout.sort_columns);
        work.source_rows = [&table, where, &order_by, &layout](const std::string& only) {
            return order_rows_source(table, where, order_by, layout.sort_columns, only);
        };
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

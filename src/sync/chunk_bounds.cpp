#include "sync/chunk_compare.h"

#include <optional>
#include <string>
#include <vector>

#include "connection/sql_quote.h"
#include "report/progress_line.h"
#include "report/reporting.h"
#include "sync/chunk_statements.h"
#include "sync/chunk_work.h"
#include "sync/column_values.h"
#include "sync/key_conditions.h"
#include "sync/range_plan.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

ChunkTable chunk_table(const SyncContext& ctx, const std::string& checksum_expression) {
    return {ctx.plan.table, checksum_expression, ctx.plan.row_select, ctx.plan.filter.value_or("")};
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

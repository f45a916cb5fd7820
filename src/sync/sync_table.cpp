#include "sync/sync_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/report_body.h"
#include "report/reporting.h"
#include "sync/bulk_copy.h"
#include "sync/chunk_compare.h"
#include "sync/chunk_query.h"
#include "sync/column_values.h"
#include "sync/no_key_sync.h"
#include "sync/sync_statements.h"
#include "sync/table_checks.h"
#include "sync/table_facts.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

// A side's row count from its answer, printed as the summary's next column.
bool show_count(SyncContext& ctx, SyncSide& side, TunnelResult* result, std::uint64_t& count) {
    MYSQL_ROW row = result ? side.tunnel().fetch_row(result) : nullptr;
    if (!row || !row[0]) {
        ctx.report_error(side);
        print_check_line();
        return false;
    }
    count = std::strtoull(row[0], nullptr, 10);
    StrBuf text;
    text.format("%7u  ", static_cast<unsigned>(count));
    show_everywhere(ctx.report(), text.c_str());
    ctx.plan.console_line += text.view();
    return true;
}

// Both sides count at once: on a large table each count reads the whole of it.
bool count_both(SyncContext& ctx, std::uint64_t& source_rows, std::uint64_t& target_rows) {
    StrBuf statement;
    statement.format("select count(*)from %s", ctx.plan.table.c_str());
    ChunkQuery source{&ctx.source(), statement.str(), {}};
    ChunkQuery target{&ctx.target(), statement.str(), {}};
    run_both(source, target);
    if (!show_count(ctx, ctx.source(), source.result.get(), source_rows)) return false;
    ctx.set_status("Table information obtained...\r\nCollecting table information...");
    if (!show_count(ctx, ctx.target(), target.result.get(), target_rows)) return false;
    ctx.set_status("Table information obtained...\r\nTable information obtained...");
    return true;
}

void show_counts(SyncContext& ctx) {
    StrBuf text;
    text.format("%8u  %7u  %7u", ctx.counts.inserted, ctx.counts.updated, ctx.counts.deleted);
    add_to_report(ctx.report(), text.c_str(), text.c_str());
    text.append("\n");
    print_and_append_log(text.c_str());
    flush_outputs();
}

// keyless is set when the table has no usable key and its rows are matched whole.
int compare_rows(SyncContext& ctx, TunnelResult* keys, const SingleKey& single, std::uint64_t source_rows,
                 bool& keyless) {
    const int primary = primary_key_count(ctx.source().tunnel(), keys);
    // The key's columns and the index they belong to, which a duplicate key is told by.
    const KeyFound found = find_key_columns(ctx, keys, primary);
    if (found == KeyFound::none && single.name.empty()) {
        keyless = true;
        return sync_without_key(ctx);
    }
    find_unique_indexes(ctx);
    if (single.name.empty())
        return compare_by_key_order(ctx, ctx.plan.checksum_expression, ctx.plan.index_name);
    KeyColumn key;
    key.name = single.name;
    key.key_class = single.key_class;
    key.unquoted = single.key_class == KeyClass::integer || single.key_class == KeyClass::floating;
    ctx.plan.keys.assign(1, key);
    ctx.plan.key_list = backquoted(key.name);
    bool no_plan = false;
    int ok = compare_by_ranges(ctx, key.name, key.key_class, ctx.plan.checksum_expression, source_rows, no_plan);
    return ok && !no_plan;
}

}  // namespace

void build_column_lists(SyncContext& ctx) {
    std::string values, nulls;
    ctx.plan.all_columns.clear();
    for (std::size_t i = 0; i < ctx.plan.columns.size(); ++i) {
        const ColumnDefinition& column = ctx.plan.columns[i];
        const std::string name = backquoted(column.name);
        ctx.plan.all_columns += (ctx.plan.all_columns.empty() ? "" : ",") + name;
        // With a column list only its columns and the key count; their NULLs are told from
        // empty texts all the same, which CONCAT_WS alone would not do.
        if (!in_rows(ctx.plan, column)) continue;
        values += digest_terms(column, i < ctx.plan.same_charset.size() && ctx.plan.same_charset[i]) + ",";
        if (column.nullable) nulls += "ISNULL(" + name + "),";
    }
    if (!values.empty()) values.pop_back();
    if (!nulls.empty()) {
        nulls.pop_back();
        values += ",CONCAT(" + nulls + ")";
    }
    ctx.plan.checksum_expression = values;
    choose_row_columns(ctx.plan);
}

int sync_table(SyncContext& ctx, TunnelResult* keys) {
    ctx.set_status_table(ctx.plan.table_label);
    ctx.set_status("Collecting table information...");
    build_column_lists(ctx);
    const int primary = primary_key_count(ctx.source().tunnel(), keys);
    SingleKey single;
    if (primary <= 1) single = find_single_key(ctx.plan.columns, primary);

    decide_table_facts(ctx);
    StrBuf label;
    label.format("%-25s  ", ctx.plan.table_label.c_str());
    show_everywhere(ctx.report(), label.c_str());
    ctx.plan.console_line.assign(label.c_str());
    std::uint64_t source_rows = 0, target_rows = 0;
    if (!count_both(ctx, source_rows, target_rows)) return 0;
    ctx.plan.source_rows = source_rows;

    bool keyless = false;
    int ok = 1;
    if (source_rows == 0 && target_rows == 0) {
        // nothing to do
    } else if (target_rows == 0) {
        // An empty target has nothing to delete; a pass of deletes only copies nothing.
        if (!ctx.plan.only_deletes) ok = copy_all_rows(ctx);
    } else {
        ok = compare_rows(ctx, keys, single, source_rows, keyless);
    }
    if (!ok)
        print_console("\n");
    else
        show_counts(ctx);
    // After the line, so that the summary keeps one line per table.
    if (keyless) show_no_key_warning(ctx);
    return ok ? 1 : 0;
}

}  // namespace kro::sync

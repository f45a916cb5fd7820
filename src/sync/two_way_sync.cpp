// A table synced both ways: forward, then back from the target to the source.
#include "sync/sync_run.h"

#include <utility>

#include "report/reporting.h"
#include "sync/sync_table.h"
#include "sync/table_description.h"

using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

int SyncRun::sync_both_ways(SyncContext& ctx, TunnelResult* keys, const SyncTableEntry* entry) {
    // Each table is made durable at once (a session lost later takes nothing of it), or
    // undone when it failed.
    int ok = land(ctx, sync_table(ctx, keys));
    // A failed forward pass ends the table: the way back would write the target's older
    // values over the rows the forward pass was to change.
    if (!settings_.twowaysync || !ok) return ok;
    if (ctx.mode() == SyncMode::direct_and_script) ctx.script().append("/*Target To source*/\n\n");
    // The way back is a table of its own: the same names and choices, its key and columns
    // found anew from its own source, its own counts.
    TablePlan back_plan;
    back_plan.table = ctx.plan.table;
    back_plan.table_label = ctx.plan.table_label;
    back_plan.filter = entry ? entry->filter : ctx.plan.filter;
    back_plan.column_list = ctx.plan.column_list;
    back_plan.delete_allowed = ctx.plan.delete_allowed;
    back_plan.same_charset = ctx.plan.same_charset;
    ctx.begin_table(std::move(back_plan));
    print_console("\n");
    ctx.swap_sides();
    // The way back reads the definition from its own source: a result belongs to the
    // connection that made it.
    ResultPtr back_keys = make_result(ctx.source().tunnel(), nullptr);
    int back = land(ctx, describe_table(ctx, back_keys) && sync_table(ctx, back_keys.get()));
    back_keys.reset();
    ctx.swap_sides();
    return ok && back;
}

}  // namespace kro::sync

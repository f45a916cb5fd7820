// One table of the run: its plan, the checks that it can be synced, and its sync.
#include "sync/sync_run.h"

#include <string>

#include "common/sql_comment.h"
#include "connection/sql_quote.h"
#include "platform/stop_signals.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/sync_table.h"
#include "sync/table_checks.h"
#include "sync/table_description.h"
#include "sync/table_facts.h"
#include "sync/table_names.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

bool SyncRun::in_target(const std::string& name) const {
    for (const std::string& t : target_tables_)
        if (nocase_equal_unquoted(t, name)) return true;
    return false;
}

void SyncRun::report_incompatible(SyncContext& ctx, const StrBuf& error) {
    show_warning(report_, error.c_str());
    add_session_entry(error.c_str(), ctx.plan.table_label.c_str());
    flush_outputs();
}

// With refusetriggers, a table whose target has triggers fails before anything is written;
// two-way, the source is written too and is asked as well.
bool SyncRun::triggers_allowed(SyncContext& ctx) {
    if (!settings_.refuse_triggers) return true;
    std::string names;
    const char* side = "target";
    bool told = target_trigger_names(ctx, names);
    if (told && names.empty() && settings_.twowaysync) {
        ctx.swap_sides();
        told = target_trigger_names(ctx, names);
        ctx.swap_sides();
        side = "source";
    }
    if (told && names.empty()) return true;
    if (!told) names = "which could not be listed";
    StrBuf error;
    error.format("Table %s has triggers on the %s (%s) and the job refuses such tables "
                 "(<refusetriggers value=\"yes\"/>): nothing was written to it\r\n",
                 ctx.plan.table_label.c_str(), side, names.c_str());
    report_incompatible(ctx, error);
    return false;
}

int SyncRun::one_table(SyncContext& ctx, const SyncTableEntry* entry, const std::string& name, TablePass pass) {
    if (platform::stop_requested()) return -1;  // no table is begun once the run is being stopped
    if (settings_.twowaysync && ctx.mode() == SyncMode::direct_and_script)
        ctx.script().append("/*Source To Target */\n\n");
    ctx.set_status("Retrieving table...");
    TablePlan plan;
    if (entry) {
        plan.table = sql_table_name(entry->name);
        plan.table_label = entry->name;
        plan.filter = entry->filter;
        plan.column_list = entry->column_list;
    } else {
        plan.table = backquoted(name);
        plan.table_label = plan.table;
    }
    plan.delete_allowed = settings_.delete_from_target && !settings_.twowaysync && pass != TablePass::keep_deletes;
    plan.only_deletes = pass == TablePass::only_deletes;
    ctx.begin_table(std::move(plan));
    if (ctx.writes_script()) {
        StrBuf comment;
        comment.format("/* SYNC TABLE : %s */\n\n", sql_comment_text(ctx.plan.table_label).c_str());
        ctx.script().append(comment);
    }
    ctx.set_status("Table info obtained...\r\nChecking for the table...");
    ResultPtr keys = make_result(ctx.source().tunnel(), nullptr);
    if (!describe_table(ctx, keys)) return settings_.abortonerror ? -1 : 0;
    StrBuf listed_error;
    if (!check_column_list(ctx.plan, listed_error)) {
        report_incompatible(ctx, listed_error);
        return settings_.abortonerror ? -1 : 0;
    }
    if (in_target(entry ? entry->name : name)) {
        StrBuf error;
        if (!check_compatibility(ctx, keys.get(), error)) {
            if (error.empty()) error.format("Could not compare the definitions of table '%s'\r\n", ctx.plan.table_label.c_str());
            report_incompatible(ctx, error);
            return settings_.abortonerror ? -1 : 0;
        }
        if (!triggers_allowed(ctx)) return settings_.abortonerror ? -1 : 0;
        int ok = sync_both_ways(ctx, keys.get(), entry);
        return ok ? 1 : (settings_.abortonerror ? -1 : 0);
    }
    ctx.set_status("Table info obtained...\r\nCreating table...");
    if (!create_target_table(ctx)) return settings_.abortonerror ? -1 : 0;
    target_tables_.push_back(entry ? entry->name : name);
    int ok = land(ctx, sync_table(ctx, keys.get()));
    return ok ? 1 : (settings_.abortonerror ? -1 : 0);
}

}  // namespace kro::sync

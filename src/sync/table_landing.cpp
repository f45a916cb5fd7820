#include "sync/table_landing.h"

#include <string>

#include "connection/statements.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"
#include "sync/table_checks.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

void undo(SyncContext& ctx) {
    SyncSide& target = ctx.target();
    // A session lost with its changes took them along; otherwise they wait in this one.
    bool rolled_back = target.autocommit_off && !target.is_http();
    if (rolled_back && target.uncommitted) {
        ResultPtr result = query_side(target, "rollback", false);
        rolled_back = result || !statement_failed(target.tunnel(), target.handle());
        target.uncommitted = false;
    }
    rolled_back = rolled_back && target_transactional(ctx);
    StrBuf text;
    if (rolled_back)
        text.format("The changes made to table %s in this run were rolled back; it is as it was before.\r\n",
                    ctx.plan.table_label.c_str());
    else
        text.format("Table %s could not be rolled back (its engine or connection has no transactions): the "
                    "changes made to it before the error remain.\r\n",
                    ctx.plan.table_label.c_str());
    ctx.report_table_failure(text.c_str());
}

}  // namespace

int land_table(SyncContext& ctx, int ok) {
    SyncSide& target = ctx.target();
    // A statement that was refused or missed its row fails the table, whatever the steps
    // after it made of that.
    if (ctx.counts.failures > 0) ok = 0;
    // The script's record of the table reaches its file before the table is kept: a table
    // changed on the target but missing from the script is undone like any other failure.
    if (ctx.writes_script()) {
        ctx.script().flush();
        if (ctx.script().failed()) ok = 0;
    }
    if (ok) {
        if (commit_side(target)) return 1;
        ctx.report_error(target);
    }
    if (ctx.writes_target() && (ctx.counts.changed || ctx.counts.session_lost)) undo(ctx);
    return 0;
}

}  // namespace kro::sync

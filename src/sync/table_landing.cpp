#include "sync/table_landing.h"

#include <string>

#include "connection/statements.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

// "rollback" on the target. Where it is refused on a session still up, the session is
// closed and opened anew: the server then drops what it held, and no later commit can
// keep the failed table's changes.
void roll_back(SyncSide& target) {
    target.uncommitted = false;
    ResultPtr result = query_side(target, "rollback", false);
    if (result || !statement_failed(target.tunnel(), target.handle())) return;
    if (!connection_lost(target.tunnel().error_number(target.handle()))) target.reopen();
}

// What the server did with the failed table, as its facts said before the first change:
// asked now, a session the failure took along could not answer.
void undo(SyncContext& ctx) {
    StrBuf text;
    if (ctx.plan.facts.rolls_back)
        text.format("The changes made to table %s in this run were rolled back; it is as it was before.\r\n",
                    ctx.plan.table_label.c_str());
    else
        text.format("Table %s could not be rolled back (its engine or connection has no transactions): the "
                    "changes made to it before the error remain.\r\n",
                    ctx.plan.table_label.c_str());
    ctx.report_table_failure(text.c_str());
}

// The source's transaction ends with the table too: its reads took share locks.
void end_source_transaction(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    if (source.autocommit_off && !source.is_http() && !source.uncommitted) commit_side(source);
}

}  // namespace

int land_table(SyncContext& ctx, int ok) {
    SyncSide& target = ctx.target();
    target.writes_roll_back = false;
    end_source_transaction(ctx);
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
    // The table's transaction ends here, changed or not: its reads' row locks go with it.
    if (target.autocommit_off && !target.is_http()) roll_back(target);
    if (ctx.writes_target() && (ctx.counts.changed || ctx.counts.session_lost)) undo(ctx);
    return 0;
}

}  // namespace kro::sync

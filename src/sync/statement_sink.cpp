#include "sync/statement_sink.h"

#include "sync/sync_script.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

StatementOutcome send_only(SyncContext& ctx, SyncSide& side, const StrBuf& statement) {
    ResultPtr result = execute_on_target(ctx, side, statement);
    StatementOutcome outcome = outcome_of(side.tunnel(), side.handle(), result);
    // A lost session took uncommitted changes with it: never an answer to act on.
    if (side.lost_changes) outcome = StatementOutcome{};
    return outcome;
}

StatementOutcome send_change(SyncContext& ctx, SyncSide& side, StrBuf& statement, DuplicateKeys duplicates) {
    StatementOutcome outcome;
    if (ctx.writes_target()) {
        outcome = send_only(ctx, side, statement);
        const bool answered = outcome.kind == StatementOutcome::duplicate_key && duplicates == DuplicateKeys::answer;
        if (outcome.kind != StatementOutcome::ok && !answered) {
            ctx.report_error(side);
            ++ctx.counts.failures;
        }
        if (outcome.kind != StatementOutcome::ok) return outcome;
    } else {
        outcome.kind = StatementOutcome::ok;
    }
    if (ctx.writes_script()) {
        statement.append(";\n");
        ctx.script().append(statement);
    }
    return outcome;
}

int apply_statement(SyncContext& ctx, SyncSide& side, StrBuf& statement) {
    return send_change(ctx, side, statement).kind == StatementOutcome::ok ? 1 : 0;
}

}  // namespace kro::sync

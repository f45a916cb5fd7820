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
        ctx.counts.changed = true;
    } else {
        outcome.kind = StatementOutcome::ok;
    }
    if (ctx.writes_script()) {
        statement.append(";\n");
        ctx.script().append(statement);
    }
    return outcome;
}

bool landed_as_expected(SyncContext& ctx, const StatementOutcome& outcome, const ExpectedRows& expected) {
    if (!ctx.writes_target() || outcome.affected_rows == expected.rows) return true;
    StrBuf text;
    text.format("Table %s: the statement for %.*s changed %llu row(s) where %llu were expected; the table was not "
                "synced.\r\n",
                ctx.plan.table_label.c_str(), static_cast<int>(expected.what.size()), expected.what.data(),
                static_cast<unsigned long long>(outcome.affected_rows),
                static_cast<unsigned long long>(expected.rows));
    ctx.report_table_failure(text.c_str());
    ++ctx.counts.failures;
    return false;
}

int apply_statement(SyncContext& ctx, SyncSide& side, StrBuf& statement, const ExpectedRows* expected) {
    const StatementOutcome outcome = send_change(ctx, side, statement);
    if (outcome.kind != StatementOutcome::ok) return 0;
    return !expected || landed_as_expected(ctx, outcome, *expected) ? 1 : 0;
}

}  // namespace kro::sync

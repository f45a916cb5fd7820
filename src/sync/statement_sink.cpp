#include "sync/statement_sink.h"

#include <algorithm>
#include <string>
#include <vector>

#include "connection/statements.h"
#include "sync/sync_script.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

// A round trip's byte bound, well below any server's max_allowed_packet.
constexpr std::size_t kTripBytes = 1 << 20;

// What the target made of one statement. A refusal keeps the server's error, since work
// on the handle before it is reported would overwrite it.
struct Answer {
    StatementOutcome outcome;
    bool lost = false;  // the session was lost with changes not yet committed
    unsigned error_number = 0;
    std::string error;
};

// The answer to the statement last sent on the side; refused: the caller knows it was.
Answer answer_of(SyncSide& side, const ResultPtr& result, bool refused = false) {
    Answer answer;
    answer.outcome =
        refused ? refusal_of(side.tunnel(), side.handle()) : outcome_of(side.tunnel(), side.handle(), result);
    // A lost session took uncommitted changes with it: never an answer to act on.
    if (side.lost_changes) {
        answer.outcome = StatementOutcome{};
        answer.lost = true;
    }
    if (answer.outcome.kind != StatementOutcome::ok) {
        answer.error_number = side.tunnel().error_number(side.handle());
        const char* text = side.tunnel().error(side.handle());
        answer.error = text ? text : "";
    }
    return answer;
}

// Sends count statements joined by ";" in one text and gives their answers in order. The
// server runs none after one it refused, so the answers end with a refusal.
std::vector<Answer> send_trip(SyncContext& ctx, SyncSide& side, const StrBuf& text, std::size_t count) {
    std::vector<Answer> answers;
    answers.push_back(answer_of(side, execute_on_target(ctx, side, text)));
    Tunnel& tunnel = side.tunnel();
    while (answers.size() < count && answers.back().outcome.kind == StatementOutcome::ok) {
        // A missing answer is a refusal too: a statement is never sent twice.
        const bool refused = tunnel.next_result(side.handle()) != 0;
        ResultPtr result = make_result(tunnel, refused ? nullptr : tunnel.store_result(side.handle(), 0, 0, 0));
        if (refused || (!result && statement_failed(tunnel, side.handle()))) {
            if (connection_lost(tunnel.error_number(side.handle())) && side.uncommitted) {
                // As for a single statement: the changes since the last commit are gone.
                side.uncommitted = false;
                side.lost_changes = true;
            }
            answers.push_back(answer_of(side, result, true));
        } else {
            side.changed();
            answers.push_back(answer_of(side, result));
        }
    }
    side.lost_changes = false;
    return answers;
}

// The one set of rules for a statement's answer: a refusal is reported, naming the table,
// and counted (a duplicate key only where the caller does not answer it); a taken change
// goes into the script. False when the statement's work ends here.
bool take_answer(SyncContext& ctx, SyncSide& side, const Answer& answer, std::string_view statement,
                 DuplicateKeys duplicates) {
    const StatementOutcome& outcome = answer.outcome;
    if (ctx.writes_target()) {
        const bool answered = outcome.kind == StatementOutcome::duplicate_key && duplicates == DuplicateKeys::answer;
        if (outcome.kind != StatementOutcome::ok && !answered) {
            if (answer.lost) {
                side.lost_changes = true;
                ctx.report_error(side);
            } else {
                ctx.report_error(answer.error_number, answer.error.c_str());
            }
            ++ctx.counts.failures;
        }
        if (outcome.kind != StatementOutcome::ok) return answered;
        ctx.counts.changed = true;
    }
    if (ctx.writes_script()) {
        ctx.script().append(statement);
        ctx.script().append(";\n");
    }
    return true;
}

Answer scripted() {
    Answer answer;
    answer.outcome.kind = StatementOutcome::ok;
    return answer;
}

}  // namespace

StatementOutcome send_only(SyncContext& ctx, SyncSide& side, const StrBuf& statement) {
    return answer_of(side, execute_on_target(ctx, side, statement)).outcome;
}

StatementOutcome send_change(SyncContext& ctx, SyncSide& side, StrBuf& statement, DuplicateKeys duplicates) {
    const Answer answer = ctx.writes_target() ? send_trip(ctx, side, statement, 1).front() : scripted();
    take_answer(ctx, side, answer, statement.view(), duplicates);
    return answer.outcome;
}

int send_changes(SyncContext& ctx, std::size_t count, DuplicateKeys duplicates, const BuildChange& build,
                 const SettleChange& settle) {
    SyncSide& side = ctx.target();
    // Several to a trip only where a trip that fails half-way is undone with the table.
    const std::size_t most = ctx.writes_target() ? ctx.plan.facts.change_batch : 1;
    // Half the target's packet allowance at most, so a trip never outgrows what its
    // statements would pass one by one.
    const std::size_t most_bytes =
        ctx.byte_limit > 0 ? std::min(kTripBytes, static_cast<std::size_t>(ctx.byte_limit) / 2) : kTripBytes;
    StrBuf text, statement;
    std::vector<std::size_t> ends;  // where each statement ends in text
    bool carried = false;           // statement holds the next entry's, built for a full trip
    for (std::size_t first = 0; first < count;) {
        text.clear();
        ends.clear();
        if (carried) {
            text.append(statement.view());
            ends.push_back(text.length());
            carried = false;
        }
        int built = 1;
        while (first + ends.size() < count && ends.size() < most) {
            statement.clear();
            built = build(first + ends.size(), ends.size(), statement);
            if (!built) break;
            if (!ends.empty() && text.length() + 1 + statement.length() > most_bytes) {
                carried = true;
                break;
            }
            if (!ends.empty()) text.append(";", 1);
            text.append(statement.view());
            ends.push_back(text.length());
        }
        const std::vector<Answer> answers = ends.empty()          ? std::vector<Answer>{}
                                            : ctx.writes_target() ? send_trip(ctx, side, text, ends.size())
                                                                  : std::vector<Answer>(ends.size(), scripted());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const std::size_t start = i == 0 ? 0 : ends[i - 1] + 1;
            if (!take_answer(ctx, side, answers[i], text.view().substr(start, ends[i] - start), duplicates) ||
                !settle(first + i, answers[i].outcome))
                return 0;
        }
        if (!built) return 0;
        // A refused statement the caller answered ends its trip: the ones after it are
        // built and sent again.
        carried = carried && answers.size() == ends.size();
        first += answers.size();
    }
    return 1;
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

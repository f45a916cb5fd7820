// The one way the sync's statements reach a server and the script. A change goes to the
// side's server unless the mode writes only the script, and into the script (with its
// ";\n") only once the server took it; in script-only mode it goes into the script at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "common/str_buf.h"
#include "connection/statement_outcome.h"
#include "sync/sync_context.h"

namespace kro::sync {

// Whether a duplicate key is the caller's to handle (a row insert turns into an update) or
// a failure like any other.
enum class DuplicateKeys { fail, answer };

// Sends the change (to the target, or to the real target in the source role during a
// delete pass) as the mode says. A failure is reported, naming the table, and counted; so
// is a duplicate key unless the caller answers it. In script-only mode the outcome is ok
// with no affected rows, since nothing was sent.
connection::StatementOutcome send_change(SyncContext& ctx, SyncSide& side, common::StrBuf& statement,
                                         DuplicateKeys duplicates = DuplicateKeys::fail);

// A phase of row changes on the target: build gives the statement for an entry (ahead:
// how many statements of the same round trip come before it, for the status counts), 0
// when it cannot (reported); settle takes the outcome of a change the target took, or of
// a duplicate key the caller answers, and gives 0 to end the phase. Where a failure
// half-way can be undone with the table (a direct session in a transaction, an engine
// that rolls back), up to 500 statements travel in one round trip, joined by ";"; each is
// still answered, reported and scripted in order, as send_change does, and those after a
// refusal the caller answered are sent again. Elsewhere they go one by one.
using BuildChange = std::function<int(std::size_t entry, std::size_t ahead, common::StrBuf& statement)>;
using SettleChange = std::function<int(std::size_t entry, const connection::StatementOutcome& outcome)>;
int send_changes(SyncContext& ctx, std::size_t count, DuplicateKeys duplicates, const BuildChange& build,
                 const SettleChange& settle);

// What a change is sent for: the rows it must affect, and what they are ("the row WHERE
// (`id` = 4)"), for the text that names them when the target did otherwise.
struct ExpectedRows {
    std::uint64_t rows = 1;
    std::string_view what;
};

// Holds the rows a taken change affected against what it was sent for. A difference is
// reported as the table's failure, naming what the statement was for, and counted. Always
// true where nothing was sent (script-only mode).
bool landed_as_expected(SyncContext& ctx, const connection::StatementOutcome& outcome, const ExpectedRows& expected);

// send_change as 1 (taken or scripted) or 0 (failed, reported); with expected, a change
// that affected other rows than it was sent for fails too.
int apply_statement(SyncContext& ctx, SyncSide& side, common::StrBuf& statement,
                    const ExpectedRows* expected = nullptr);

// Sends the statement to the side in every mode and never writes it to the script (a
// table the target lacks is created this way). Nothing is reported.
connection::StatementOutcome send_only(SyncContext& ctx, SyncSide& side, const common::StrBuf& statement);

}  // namespace kro::sync

// The one way the sync's statements reach a server and the script. A change goes to the
// side's server unless the mode writes only the script, and into the script (with its
// ";\n") only once the server took it; in script-only mode it goes into the script at once.
#pragma once

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

// send_change as 1 (taken or scripted) or 0 (failed, reported).
int apply_statement(SyncContext& ctx, SyncSide& side, common::StrBuf& statement);

// Sends the statement to the side in every mode and never writes it to the script (a
// table the target lacks is created this way). Nothing is reported.
connection::StatementOutcome send_only(SyncContext& ctx, SyncSide& side, const common::StrBuf& statement);

}  // namespace kro::sync

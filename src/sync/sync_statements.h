// Running the sync job's statements: on one side with the run's session kept up, on the
// target with the settings a change depends on (statement_sink.h decides what is sent and
// scripted), and the session settings that frame a run.
#pragma once

#include <string_view>

#include "common/str_buf.h"
#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

// Sends the statement on the side and stores its result. A lost session is opened again
// with the run's session settings and the statement sent once more, unless the session
// held changes not yet committed: then the statement fails (side.lost_changes is set), for
// sending it again would hide that those changes are gone. Null when the statement failed
// or had no result; tell them apart with statement_failed(). Uses only the side.
connection::ResultPtr query_side(SyncSide& side, const char* text, bool retry = true);

// The run's own session settings on a side: the character set, the database, the SQL mode,
// the time zone in which TIMESTAMP values are read and written ("+00:00" on both sides),
// and what the run switched off. After a reconnect too.
bool set_up_sync_session(SyncSide& side);

// The statement on the target side as a write (KeptSession::write: sent again after a
// lost connection only where the server rolled it back); through the HTTP tunnel it
// travels with the session settings in front of it, since every request there is a new
// session. Null when it failed or had no result.
connection::ResultPtr execute_on_target(SyncContext& ctx, SyncSide& side, const common::StrBuf& statement);

enum class SessionForm { save, restore, plain };
// The session settings of a run, in their order (SQL_NOTES, UNIQUE_CHECKS, SQL_MODE, and
// FOREIGN_KEY_CHECKS with fkcheck), in the given form. 0 at the first one refused.
int send_session_settings(SyncSide& side, SessionForm form, bool fkcheck);
// Their script lines at the start and at the end of a script.
void append_session_script_start(SyncContext& ctx);
void append_session_script_end(SyncContext& ctx);

// "commit" on a side that has autocommit off and uncommitted changes; 0 when refused.
int commit_side(SyncSide& side);

}  // namespace kro::sync

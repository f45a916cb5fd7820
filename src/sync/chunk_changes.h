// Applying a differing chunk's changes on the target (or into the script): deletes first,
// then updates in place, then the rows that swap values of a unique index among themselves
// (staged: deleted, then inserted with their new values), then new rows. Only rows whose
// unique values move onto a value another row of the chunk gives up are staged, and only
// where that is safe (staging_refusal); elsewhere the swap is refused before anything of
// the chunk is changed. A script never holds a change that would fail on replay.
#pragma once

#include <span>

#include "connection/result_ptr.h"
#include "sync/row_apply.h"
#include "sync/sync_context.h"

namespace kro::sync {

// actions: sorted (deletes, inserts, updates); target_rows: the target's keys of the
// chunk (for deletes); source_rows: the source's whole rows to write. 1 when every change
// landed as the merge expects; 0 at the first failure (reported).
int apply_chunk_changes(SyncContext& ctx, connection::TunnelResult* target_rows, connection::TunnelResult* source_rows,
                        std::span<const RowAction> actions);

}  // namespace kro::sync

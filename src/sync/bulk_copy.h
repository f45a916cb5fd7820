// Filling an empty target table: the source's rows, streamed, as multi-row INSERT
// statements no larger than the target takes.
#pragma once

#include "sync/sync_context.h"

namespace kro::sync {

// Copies the current table's rows (those the filter selects) and adds them to
// ctx.counts.inserted. 0 when a page could not be read or a statement failed (reported).
int copy_all_rows(SyncContext& ctx);

}  // namespace kro::sync

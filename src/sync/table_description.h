// Reading the current table's definition from the source.
#pragma once

#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

// The source's "show full fields" of the current table, parsed into ctx.plan.columns, and its
// "show keys"; 0 when either failed (reported).
int describe_table(SyncContext& ctx, connection::ResultPtr& keys);

}  // namespace kro::sync

// One table in one direction: its counts, the way it is compared, and its summary line.
#pragma once

#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

// The checksum expression and the column lists of the current table, from ctx.plan.columns.
void build_column_lists(SyncContext& ctx);

// 1 when every change of the table was made (or scripted); 0 when it failed (reported).
// keys: the source's "show keys" of the table.
int sync_table(SyncContext& ctx, connection::TunnelResult* keys);

}  // namespace kro::sync

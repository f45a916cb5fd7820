// One table in one direction: its counts, the way it is compared, and its summary line.
#pragma once

#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

// The checksum expression and the all-columns list of the current table, from the
// source's "show full fields" rows.
void build_column_lists(SyncContext& ctx, connection::TunnelResult* fields);

// 1 when the table was synced (or left alone for its key's collation); 0 when it failed.
int sync_table(SyncContext& ctx, connection::TunnelResult* fields, connection::TunnelResult* keys);

}  // namespace kro::sync

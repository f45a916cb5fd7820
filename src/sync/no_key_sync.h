// Tables without a usable key: rows are matched by the values of all their columns. Rows
// the source lacks are deleted from the target (when deletes are allowed), rows the target
// lacks are inserted; nothing is updated. Identical rows count: a row the source holds
// three times ends up three times in the target.
#pragma once

#include "sync/sync_context.h"

namespace kro::sync {

// 0 when a side could not be read or a lookup failed (reported).
int sync_without_key(SyncContext& ctx);
// The warning that a table is synced without a key, shown once its summary line has ended.
void show_no_key_warning(SyncContext& ctx);

enum class PassKind { delete_rows, insert_rows };
// One pass, reading the side now in the source role and looking rows up on the other.
int row_pass(SyncContext& ctx, PassKind kind);

}  // namespace kro::sync

// How a table's work in one direction ends on its target: kept when every statement landed
// as the sync expected, undone when one did not, so that a table is either equal to its
// source or as it was, and the run says which.
#pragma once

#include "sync/sync_context.h"

namespace kro::sync {

// ok: the table was synced. Then its changes are committed; 0 when the commit is refused
// (reported). Otherwise (and when a statement failed or did not do what it was sent for)
// the changes are rolled back and the run says so, naming the table; on a table that cannot
// roll back (MyISAM, or a target reached through the HTTP tunnel, which commits each
// statement) it says that the changes made before the error remain. Which of the two is
// read from the table's facts. Changed or not, the table's transactions end here on both
// sides. Returns 1 only for a table that was synced and committed.
int land_table(SyncContext& ctx, int ok);

}  // namespace kro::sync

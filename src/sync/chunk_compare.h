// Comparing a table that has rows on both sides, chunk by chunk along its key: both
// servers compute a checksum per chunk at the same time, and only differing chunks are
// read row by row, merged and repaired (row_apply.h). The plan of the context's table
// gives the table, its filter, column lists, key columns and delete permission.
#pragma once

#include <cstdint>
#include <string>

#include "sync/sync_context.h"

namespace kro::sync {

// By value ranges of a single numeric or temporal key column. no_plan is set when no range
// plan could be made for the key (the table then fails without its counts line).
int compare_by_ranges(SyncContext& ctx, const std::string& key, KeyClass key_class,
                      const std::string& checksum_expression, std::uint64_t source_rows, bool& no_plan);

// By chunks of kRowsPerChunk rows in the order of the index over the key columns (the plan's keys).
int compare_by_key_order(SyncContext& ctx, const std::string& checksum_expression, const std::string& index_name);

}  // namespace kro::sync

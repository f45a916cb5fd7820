// What the parts of the chunk comparison share: the layout of the row statements, the
// statements of one chunk, the row comparison of one chunk, and the loop that schedules
// the chunks a boundary plan makes (chunk_compare.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "report/progress_line.h"
#include "sync/chunk_query.h"
#include "sync/key_order.h"
#include "sync/sync_context.h"

namespace kro::sync {

inline constexpr const char* calculating = "Calculating checksum...\r\nCalculating checksum...";

// What the row statements select besides the table's columns and digest, from the source:
// the sort columns both sides carry for key columns whose text does not sort as the server
// does, how the merge compares each key column, and the target's key columns read as the
// source's are (column_values.h), so that a DELETE finds its row by them.
struct RowLayout {
    std::vector<KeySort> sorts;
    std::string sort_columns;  // ", expr AS `__k0`, ..."
    std::string target_keys;   // the key columns, in key order
};

// The layout for the plan's key columns; false when one of them is not described.
bool row_layout(SyncContext& ctx, RowLayout& out);

// A statement for one side, not yet run.
ChunkQuery side_query(SyncSide& side, std::string statement);

// The statements of one chunk: each side's checksum, the source's keys and digests, its
// whole rows (narrowed to some digests when given a condition), and the target's keys and
// digests.
struct ChunkWork {
    int chunk = 0;
    std::string source_sum, target_sum, source_keys, target_rows;
    std::function<std::string(const std::string& only)> source_rows;
};

enum class ChunkOutcome { failed, equal, repaired };

// Compares one chunk row by row and repairs the target (chunk_rows.cpp).
ChunkOutcome compare_chunk_rows(SyncContext& ctx, ChunkWork& work, const RowLayout& layout,
                                bool known_different);

// Gives the next chunk's work: 1, or 0 after the last chunk, or -1 after a failure it
// reported.
using NextChunk = std::function<int(ChunkWork&)>;

// Compares the chunks next gives, in runs of checksums: 1, or 0 after a failure (reported).
int compare_chunks(SyncContext& ctx, const NextChunk& next, const RowLayout& layout,
                   report::ProgressLine& progress);

}  // namespace kro::sync

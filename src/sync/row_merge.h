// The row merge of a differing chunk: both sides' rows come ordered by the key; walking
// them together decides, row by row, what the target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sync/key_order.h"
#include "sync/row_apply.h"

namespace kro::connection {
class Tunnel;
struct TunnelResult;
}

namespace kro::sync {

// Where the merge finds things in the rows: the value compared for each key column (the
// key itself or its sort column), in key order, and the "__crc" digest.
struct MergeColumns {
    std::vector<unsigned> source_keys, target_keys;
    std::vector<KeyOrder> orders;
    unsigned source_crc = 0, target_crc = 0;
};

// What a merge found: the rows without their equal on the other side (a row only the
// target holds counts even when it is left alone), and the source rows to insert or update.
struct MergeCount {
    std::size_t unmatched = 0;
    std::size_t to_write = 0;
};

// Merges both results (read to their end) into actions; without deletes a row only the
// target holds is left alone.
MergeCount merge_rows(connection::Tunnel& source_tunnel, connection::TunnelResult* source, connection::Tunnel& target_tunnel, connection::TunnelResult* target,
                       const MergeColumns& columns, bool deletes, std::vector<RowAction>& actions);

// Deletes first, then inserts, then updates; each in row order.
void sort_actions(std::vector<RowAction>& actions);

}  // namespace kro::sync

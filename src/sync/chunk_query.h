// ChunkQuery: one side's statement of a chunk comparison. run_both sends the source's and
// the target's statements at the same time, on one worker thread per side, and returns
// when both have their stored results. A worker touches only its own side and its own
// records; nothing else is shared.
#pragma once

#include <span>
#include <string>

#include "connection/result_ptr.h"

namespace kro::sync {

struct SyncSide;

struct ChunkQuery {
    SyncSide* side = nullptr;
    std::string statement;
    connection::ResultPtr result;  // out: null when the statement failed
};

void run_both(ChunkQuery& source, ChunkQuery& target);
// Each side's statements one after the other, each side at its own pace; a side stops at
// its first failed statement (the results after it stay null).
void run_both(std::span<ChunkQuery> source, std::span<ChunkQuery> target);

}  // namespace kro::sync

#include "sync/chunk_query.h"

#include "platform/worker_thread.h"
#include "sync/sync_statements.h"

using namespace kro::platform;

namespace kro::sync {

namespace {

void run(ChunkQuery& query) {
    query.result = query_side(*query.side, query.statement.c_str());
}

void run_all(std::span<ChunkQuery> queries) {
    for (ChunkQuery& query : queries) {
        run(query);
        if (!query.result) return;
    }
}

}  // namespace

void run_both(ChunkQuery& source, ChunkQuery& target) { run_both({&source, 1}, {&target, 1}); }

void run_both(std::span<ChunkQuery> source, std::span<ChunkQuery> target) {
    WorkerThread source_worker([source] { run_all(source); });
    WorkerThread target_worker([target] { run_all(target); });
    source_worker.join();
    target_worker.join();
}

}  // namespace kro::sync

#include "sync/chunk_query.h"

#include "platform/worker_thread.h"
#include "sync/sync_statements.h"

namespace {

void run(ChunkQuery& query) {
    query.result = query_side(*query.side, query.statement.c_str());
    // After a failure the side keeps its error for the report.
    if (query.result && !query.after.empty()) query_side(*query.side, query.after.c_str(), false);
}

}  // namespace

void run_both(ChunkQuery& source, ChunkQuery& target) {
    WorkerThread source_worker([&source] { run(source); });
    WorkerThread target_worker([&target] { run(target); });
    source_worker.join();
    target_worker.join();
}

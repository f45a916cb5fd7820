// The run's totals: the rows its tables changed and the line that sums them up.
#include "sync/sync_run.h"

#include <string>

#include "report/reporting.h"
#include "sync/table_landing.h"

using namespace kro::report;

namespace kro::sync {

int SyncRun::land(SyncContext& ctx, int ok) {
    ok = land_table(ctx, ok);
    if (ok) {  // a failed table's changes were taken back, or are told where it failed
        totals_.inserted += ctx.counts.inserted;
        totals_.updated += ctx.counts.updated;
        totals_.deleted += ctx.counts.deleted;
    }
    return ok;
}

void SyncRun::set_summary(SyncMode mode) {
    const std::string rows = mode == SyncMode::script_only ? "rows in the script" : "rows changed";
    set_job_summary("Synced " + std::to_string(totals_.synced) + " tables, " + std::to_string(totals_.failed) +
                    " failed; " + rows + ": " + std::to_string(totals_.inserted) + " inserted, " +
                    std::to_string(totals_.updated) + " updated, " + std::to_string(totals_.deleted) + " deleted.");
}

}  // namespace kro::sync

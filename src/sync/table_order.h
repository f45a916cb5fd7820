// The order a run takes its tables in while the target checks foreign keys: a table that
// others refer to comes before them, so its new rows are there when theirs arrive; its
// deletes wait until the tables that refer to it are done, in a pass of their own, so that
// no parent row goes while children still point at it. Tables that refer to each other (or
// to themselves) have no such order: they keep theirs and are named.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "sync/sync_context.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::sync {

// How a table is taken: whole, without its deletes (other tables refer to it), or only
// its deletes (once the tables that refer to it are done).
enum class TablePass { whole, keep_deletes, only_deletes };

struct TableOrder {
    std::vector<std::size_t> order;      // positions in the run's list: parents first
    std::vector<std::size_t> deferred;   // tables whose deletes come after the rest, children first
    std::vector<std::string> in_cycles;  // the tables that refer to each other, in list order
};

// names: the run's tables, as stored (no backquotes); pairs: (referring, referred to).
TableOrder order_tables(const std::vector<std::string>& names,
                        const std::vector<std::pair<std::string, std::string>>& pairs);

// A warning naming the tables that refer to each other; nothing when there are none.
void warn_of_cycles(report::ReportBody& report, const std::vector<std::string>& tables);

// The side's foreign keys between tables of its database, as (referring, referred to);
// nothing when the look-up fails.
std::vector<std::pair<std::string, std::string>> foreign_key_pairs(SyncSide& side);

}  // namespace kro::sync

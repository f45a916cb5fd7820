#include "sync/chunk_work.h"

#include <algorithm>
#include <deque>
#include <string_view>
#include <vector>

#include "report/progress_line.h"
#include "sync/chunk_query.h"

using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

// Chunks are checksummed in runs that grow while they come out equal (to kLongestRun), so
// that each side works through a run at its own pace instead of waiting for the other
// after every chunk. A differing chunk ends its run: its rows are repaired, and the
// checksums after it are dropped and taken again, so that every checksum compared was
// taken after the repairs of the chunks before it.
constexpr std::size_t kLongestRun = 64;
// After this many differing chunks in a row the checksums are likely to differ too: the
// chunks are then read row by row at once, until one comes out equal.
constexpr int kDifferingBeforeRows = 2;

// Whether the chunk's row counts and folded digests are the same on both sides.
bool sums_equal(SyncContext& ctx, ChunkQuery& source, ChunkQuery& target) {
    Tunnel& s_tunnel = ctx.source().tunnel();
    Tunnel& t_tunnel = ctx.target().tunnel();
    MYSQL_ROW s = s_tunnel.fetch_row(source.result.get());
    unsigned long* s_lengths = s ? s_tunnel.fetch_lengths(source.result.get()) : nullptr;
    MYSQL_ROW t = t_tunnel.fetch_row(target.result.get());
    unsigned long* t_lengths = t ? t_tunnel.fetch_lengths(target.result.get()) : nullptr;
    if (!s || !t) return false;
    for (int column : {1, 2})
        if (!s[column] || !t[column] ||
            std::string_view(s[column], s_lengths[column]) != std::string_view(t[column], t_lengths[column]))
            return false;
    return true;
}

}  // namespace

int compare_chunks(SyncContext& ctx, const NextChunk& next, const RowLayout& layout,
                   ProgressLine& progress) {
    std::deque<ChunkWork> pending;  // made, not yet compared
    bool made_all = false, next_failed = false;
    std::size_t run = 1;
    int differing = 0;  // chunks in a row that needed repairs
    for (;;) {
        while (!made_all && pending.size() < run) {
            ChunkWork work;
            int made = next(work);
            // The chunks made before a failure are still compared and repaired; the
            // failure (already reported) then ends the table.
            next_failed = made < 0;
            if (made <= 0) made_all = true;
            else pending.push_back(std::move(work));
        }
        if (pending.empty()) return next_failed ? 0 : 1;
        progress.update(static_cast<std::uint64_t>(pending.front().chunk));
        if (differing >= kDifferingBeforeRows) {
            ChunkWork work = std::move(pending.front());
            pending.pop_front();
            const ChunkOutcome outcome = compare_chunk_rows(ctx, work, layout, false);
            if (outcome == ChunkOutcome::failed) return 0;
            if (outcome == ChunkOutcome::equal) differing = 0;
            continue;
        }
        const std::size_t count = std::min(run, pending.size());
        std::vector<ChunkQuery> source, target;
        for (std::size_t i = 0; i < count; ++i) {
            source.push_back(side_query(ctx.source(), pending[i].source_sum));
            target.push_back(side_query(ctx.target(), pending[i].target_sum));
        }
        ctx.set_status(calculating);
        run_both(source, target);
        ctx.set_status("");
        std::size_t equal = 0;
        for (; equal < count; ++equal) {
            if (!source[equal].result) {
                ctx.report_error(ctx.source());
                return 0;
            }
            if (!target[equal].result) {
                ctx.report_error(ctx.target());
                return 0;
            }
            if (!sums_equal(ctx, source[equal], target[equal])) break;
        }
        source.clear();
        target.clear();
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(equal));
        if (equal == count) {
            run = std::min(run * 2, kLongestRun);
            differing = 0;
            continue;
        }
        if (equal > 0) differing = 0;
        ChunkWork work = std::move(pending.front());
        pending.pop_front();
        if (compare_chunk_rows(ctx, work, layout, true) == ChunkOutcome::failed) return 0;
        ++differing;
        run = 1;
    }
}

}  // namespace kro::sync

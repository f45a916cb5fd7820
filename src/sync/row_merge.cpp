#include "sync/row_merge.h"

#include <algorithm>
#include <cstring>

#include "connection/tunnel.h"

using namespace kro::connection;

namespace kro::sync {

namespace {

// One side's current row.
struct Cursor {
    Tunnel& tunnel;
    TunnelResult* result;
    MYSQL_ROW row = nullptr;
    unsigned long* lengths = nullptr;
    std::uint32_t fetched = 0;
    bool ended = false;

    void next() {
        row = tunnel.fetch_row(result);
        if (!row) {
            ended = true;
            return;
        }
        lengths = tunnel.fetch_lengths(result);
        ++fetched;
    }
};

// The source key against the target key, column by column; NULL sorts last.
int compare_keys(const Cursor& source, const Cursor& target, const MergeColumns& columns) {
    for (std::size_t i = 0; i < columns.orders.size(); ++i) {
        unsigned s = columns.source_keys[i], t = columns.target_keys[i];
        const char* a = source.row[s];
        const char* b = target.row[t];
        if (!a || !b) {
            if (a == b) continue;
            return a ? -1 : 1;
        }
        int c = compare_key_values(columns.orders[i], a, source.lengths[s], b, target.lengths[t]);
        if (c) return c;
    }
    return 0;
}

bool same_digest(const Cursor& source, const Cursor& target, const MergeColumns& columns) {
    const char* a = source.row[columns.source_crc];
    const char* b = target.row[columns.target_crc];
    if (!a || !b) return a == b;
    unsigned long n = source.lengths[columns.source_crc];
    return n == target.lengths[columns.target_crc] && std::memcmp(a, b, n) == 0;
}

}  // namespace

MergeCount merge_rows(Tunnel& source_tunnel, TunnelResult* source_result, Tunnel& target_tunnel,
                       TunnelResult* target_result, const MergeColumns& columns, bool deletes,
                       std::vector<RowAction>& actions) {
    actions.clear();
    MergeCount count;
    Cursor source{source_tunnel, source_result};
    Cursor target{target_tunnel, target_result};
    source.next();
    target.next();
    while (!source.ended || !target.ended) {
        int order = source.ended ? 1 : target.ended ? -1 : compare_keys(source, target, columns);
        if (order == 0) {
            const bool same = same_digest(source, target, columns);
            actions.push_back({source.fetched, same ? RowActionCode::nothing : RowActionCode::update_row});
            if (!same) {
                ++count.unmatched;
                ++count.to_write;
            }
            source.next();
            target.next();
        } else if (order < 0) {
            actions.push_back({source.fetched, RowActionCode::insert_row});
            ++count.unmatched;
            ++count.to_write;
            source.next();
        } else {
            actions.push_back({target.fetched, deletes ? RowActionCode::delete_row : RowActionCode::nothing});
            ++count.unmatched;
            target.next();
        }
    }
    return count;
}

void sort_actions(std::vector<RowAction>& actions) {
    std::stable_sort(actions.begin(), actions.end(),
                     [](const RowAction& a, const RowAction& b) { return a.action < b.action; });
}

}  // namespace kro::sync

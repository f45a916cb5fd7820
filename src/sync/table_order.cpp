#include "sync/table_order.h"

#include <set>
#include <strings.h>

#include "common/str_buf.h"
#include "report/reporting.h"
#include "sync/sync_statements.h"

using namespace kro::connection;

namespace kro::sync {

namespace {

std::size_t position(const std::vector<std::string>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i].size() == name.size() && strcasecmp(names[i].c_str(), name.c_str()) == 0) return i;
    return names.size();
}

}  // namespace

TableOrder order_tables(const std::vector<std::string>& names,
                        const std::vector<std::pair<std::string, std::string>>& pairs) {
    const std::size_t n = names.size();
    std::vector<std::set<std::size_t>> parents(n), children(n);
    std::vector<bool> self(n, false);
    for (const auto& [child, parent] : pairs) {
        const std::size_t c = position(names, child), p = position(names, parent);
        if (c == n || p == n) continue;
        if (c == p) self[c] = true;
        else {
            parents[c].insert(p);
            children[p].insert(c);
        }
    }
    TableOrder result;
    // Each step takes the first table in list order whose parents are all placed.
    std::vector<bool> placed(n, false);
    for (bool progress = true; progress;) {
        progress = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (placed[i]) continue;
            bool ready = true;
            for (std::size_t p : parents[i]) ready = ready && placed[p];
            if (!ready) continue;
            placed[i] = true;
            result.order.push_back(i);
            progress = true;
            break;
        }
    }
    std::vector<bool> cyclic(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        if (!placed[i]) {
            cyclic[i] = true;
            result.order.push_back(i);
        }
        if (self[i]) cyclic[i] = true;
        if (cyclic[i]) result.in_cycles.push_back(names[i]);
    }
    for (auto it = result.order.rbegin(); it != result.order.rend(); ++it)
        if (!cyclic[*it] && !children[*it].empty()) result.deferred.push_back(*it);
    return result;
}

void warn_of_cycles(report::ReportBody& report, const std::vector<std::string>& tables) {
    if (tables.empty()) return;
    std::string list;
    for (const std::string& name : tables) list += (list.empty() ? "" : ", ") + name;
    common::StrBuf text;
    text.format("\n\nWARNING: tables %s refer to each other or to themselves by foreign keys: no order of tables "
                "gives every row its parent first, so they are synced in their own order, and a row that arrives "
                "before its parent fails while the target checks foreign keys",
                list.c_str());
    report::show_warning(report, text.c_str());
}

std::vector<std::pair<std::string, std::string>> foreign_key_pairs(SyncSide& side) {
    std::vector<std::pair<std::string, std::string>> pairs;
    ResultPtr result = query_side(side,
                                  "select TABLE_NAME, REFERENCED_TABLE_NAME from information_schema.REFERENTIAL_CONSTRAINTS "
                                  "where CONSTRAINT_SCHEMA = database() and UNIQUE_CONSTRAINT_SCHEMA = database()");
    while (MYSQL_ROW row = result ? side.tunnel().fetch_row(result.get()) : nullptr)
        if (row[0] && row[1]) pairs.emplace_back(row[0], row[1]);
    return pairs;
}

}  // namespace kro::sync

// The run's tables, all of the source's or those the job lists, in the order foreign keys need.
#include "sync/sync_run.h"

#include <string>
#include <utility>
#include <vector>

#include "connection/helper_queries.h"
#include "report/reporting.h"
#include "sync/sync_statements.h"
#include "sync/table_names.h"
#include "sync/table_order.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

int SyncRun::all_tables_loop(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    StrBuf statement;
    list_tables_statement(source.tunnel(), source.handle(), source.database.c_str(), statement);
    ResultPtr tables = query_side(source, statement.c_str());
    if (!tables) {
        ctx.report_error(source);
        print_console("Error !! Please check the log file for details.\n");
        return 0;
    }
    // The names are taken first: the loop sends statements of its own on this connection.
    std::vector<std::string> names;
    while (MYSQL_ROW row = source.tunnel().fetch_row(tables.get()))
        if (row[0]) names.emplace_back(row[0]);
    tables.reset();
    if (names.empty()) {
        // Nothing to do is not an error, but a run that did nothing must say so.
        StrBuf text;
        text.format("\n\nWARNING: the source database `%s` has no tables: there was nothing to sync",
                    source.database.c_str());
        show_warning(ctx.report(), text.c_str());
        return 1;
    }
    return run_tables(ctx, std::vector<const SyncTableEntry*>(names.size(), nullptr), names);
}

int SyncRun::listed_tables_loop(SyncContext& ctx) {
    std::vector<const SyncTableEntry*> entries;
    std::vector<std::string> names;
    for (const SyncTableEntry& entry : settings_.tables) {
        entries.push_back(&entry);
        names.push_back(entry.name);
    }
    return run_tables(ctx, entries, names);
}

int SyncRun::run_tables(SyncContext& ctx, const std::vector<const SyncTableEntry*>& entries,
                        const std::vector<std::string>& names) {
    TableOrder order;
    // With the checks switched off any order does.
    if (ctx.fkcheck()) {
        for (std::size_t i = 0; i < names.size(); ++i) order.order.push_back(i);
    } else {
        std::vector<std::string> stored;
        for (const std::string& name : names) stored.push_back(unquoted_name(name));
        std::vector<std::pair<std::string, std::string>> pairs = foreign_key_pairs(target_);
        for (auto& pair : foreign_key_pairs(source_)) pairs.push_back(std::move(pair));
        order = order_tables(stored, pairs);
        warn_of_cycles(report_, order.in_cycles);
    }
    if (!settings_.delete_from_target || settings_.twowaysync) order.deferred.clear();
    std::vector<bool> deferred(names.size(), false);
    for (std::size_t i : order.deferred) deferred[i] = true;
    // A table counts once in the run's totals, as failed when any of its passes failed.
    std::vector<int> outcome(names.size(), 0);  // 0: not run, 1: synced, -1: failed
    const auto run_one = [&](std::size_t i, TablePass pass) {
        const int ok = one_table(ctx, entries[i], names[i], pass);
        outcome[i] = ok == 1 && outcome[i] >= 0 ? 1 : -1;
        return ok >= 0 && !script_failed(ctx);
    };
    [&] {
        for (std::size_t i : order.order)
            if (!run_one(i, deferred[i] ? TablePass::keep_deletes : TablePass::whole)) return;
        // A table whose first pass failed keeps what it has: its deletes do not follow alone.
        for (std::size_t i : order.deferred)
            if (outcome[i] > 0 && !run_one(i, TablePass::only_deletes)) return;
    }();
    int result = 1;
    for (int o : outcome) {
        if (o != 0) count_table(o);
        if (o < 0) result = 0;
    }
    return result;
}

}  // namespace kro::sync

#include "sync/table_facts.h"

#include <cstring>
#include <strings.h>

#include "common/str_buf.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/sync_statements.h"
#include "sync/table_checks.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::report;

namespace kro::sync {

namespace {

// A round trip's most statements, well below any server's max_allowed_packet.
constexpr std::size_t kTripStatements = 500;

bool engine_transactional(SyncContext& ctx) {
    std::string transactions;
    return ask_about_target_table(ctx,
                                  "select e.TRANSACTIONS from information_schema.TABLES t join information_schema.ENGINES "
                                  "e on e.ENGINE = t.ENGINE where t.TABLE_SCHEMA = database() and t.TABLE_NAME = ",
                                  transactions) &&
           transactions == "YES";
}

// "a, b" of the rows the query finds for the table, "" for none; false when it failed.
bool names_of(SyncContext& ctx, const char* query, std::string& names) {
    std::string answer;
    if (!ask_about_target_table(ctx, query, answer)) return false;
    names = answer.substr(1);  // after the marker that keeps the answer from being NULL
    return true;
}

}  // namespace

bool target_trigger_names(SyncContext& ctx, std::string& names) {
    return names_of(ctx,
                    "select concat('-', ifnull(group_concat(TRIGGER_NAME order by ACTION_ORDER separator ', '), '')) "
                    "from information_schema.TRIGGERS where EVENT_OBJECT_SCHEMA = database() and EVENT_OBJECT_TABLE = ",
                    names);
}

void decide_table_facts(SyncContext& ctx) {
    TableFacts& facts = ctx.plan.facts;
    facts = TableFacts{};
    SyncSide& target = ctx.target();
    facts.engine_rolls_back = engine_transactional(ctx);
    facts.rolls_back = facts.engine_rolls_back && ctx.writes_target() && !target.is_http() && target.autocommit_off;
    target.writes_roll_back = facts.rolls_back;
    if (facts.rolls_back) {
        if (!target.multi_statements) target.multi_statements = target.tunnel().set_multi_statements(target.handle());
        if (target.multi_statements) facts.change_batch = kTripStatements;
    }
    facts.triggers_known = target_trigger_names(ctx, facts.triggers);
    if (!facts.triggers.empty()) {
        facts.triggers_known =
            names_of(ctx,
                     "select concat('-', ifnull(group_concat(TRIGGER_NAME order by ACTION_ORDER separator ', '), '')) "
                     "from information_schema.TRIGGERS where EVENT_MANIPULATION = 'DELETE' and EVENT_OBJECT_SCHEMA = "
                     "database() and EVENT_OBJECT_TABLE = ",
                     facts.delete_triggers);
        StrBuf text;
        text.format("\n\nWARNING: table %s has triggers on the target, which fire for every row the sync changes: %s",
                    ctx.plan.table_label.c_str(), facts.triggers.c_str());
        show_warning(ctx.report(), text.c_str());
    }
    // With the checks switched off a delete reaches no other table.
    if (!ctx.fkcheck())
        facts.referred_to = !names_of(ctx,
                                      "select concat('-', ifnull(group_concat(distinct TABLE_NAME order by TABLE_NAME "
                                      "separator ', '), '')) from information_schema.REFERENTIAL_CONSTRAINTS where "
                                      "UNIQUE_CONSTRAINT_SCHEMA = database() and REFERENCED_TABLE_NAME = ",
                                      facts.referring_tables) ||
                            !facts.referring_tables.empty();
}

void find_unique_indexes(SyncContext& ctx) {
    std::vector<UniqueIndex>& found = ctx.plan.facts.unique_indexes;
    found.clear();
    SyncSide& target = ctx.target();
    StrBuf statement;
    statement.format("show keys from %s", ctx.plan.table.c_str());
    ResultPtr keys = query_side(target, statement.c_str());
    if (!keys) return;
    constexpr int kNonUnique = 1, kKeyName = 2, kColumn = 4;
    while (MYSQL_ROW row = target.tunnel().fetch_row(keys.get())) {
        if (!row[kNonUnique] || std::strcmp(row[kNonUnique], "0") != 0 || !row[kKeyName] || !row[kColumn]) continue;
        if (strcasecmp(row[kKeyName], ctx.plan.index_name.c_str()) == 0) continue;
        if (found.empty() || found.back().name != row[kKeyName]) found.push_back(UniqueIndex{row[kKeyName], {}});
        found.back().columns.emplace_back(row[kColumn]);
    }
}

std::string staging_refusal(const SyncContext& ctx) {
    const TableFacts& facts = ctx.plan.facts;
    // A script is replayed in one transaction: its engine decides.
    if (ctx.writes_target() ? !facts.rolls_back : !facts.engine_rolls_back)
        return "the target's table cannot undo a delete whose row then fails to arrive again (its engine or "
               "connection has no transactions)";
    if (!facts.triggers_known) return "the target's triggers on it, which a delete could fire, could not be listed";
    if (!facts.delete_triggers.empty()) return "a delete would fire its DELETE triggers on the target: " + facts.delete_triggers;
    if (facts.referred_to)
        return facts.referring_tables.empty()
                   ? std::string("the tables that refer to it by foreign keys could not be told")
                   : "a delete would reach the rows of the tables that refer to it by foreign keys: " +
                         facts.referring_tables;
    return {};
}

}  // namespace kro::sync

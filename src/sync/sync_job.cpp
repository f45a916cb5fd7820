#include "sync/sync_job.h"

#include <chrono>
#include <random>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "common/sql_comment.h"
#include "common/timestamp.h"
#include "connection/column_definition.h"
#include "connection/connection_report.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/ssh_tunnel.h"
#include "connection/statements.h"
#include "mail/report_texts.h"
#include "platform/status_block.h"
#include "platform/stop_signals.h"
#include "report/process_state.h"
#include "report/report_body.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/sync_script.h"
#include "sync/sync_settings.h"
#include "sync/sync_statements.h"
#include "sync/sync_table.h"
#include "sync/table_checks.h"
#include "sync/table_facts.h"
#include "sync/table_landing.h"
#include "sync/table_order.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::sync {

namespace {

constexpr char kVersionTooOld[] =
    "Data Sync with this Velmar version will work with MySQL servers from version 4.1.1 and up. One or more of the "
    "servers you specified is a lower version. Please upgrade the older server, or contact your database "
    "administrator for a solution.";
constexpr char kChecksumQuery[] = "select md5(concat_ws('A','B',''))";

// The name a job file writes in backquotes (`t``1` is t`1), or the name as it is.
std::string unquoted_name(std::string_view name) {
    if (name.size() < 2 || name.front() != '`' || name.back() != '`') return std::string(name);
    std::string plain;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        plain += name[i];
        if (name[i] == '`' && name[i + 1] == '`' && i + 2 < name.size()) ++i;
    }
    return plain;
}

bool nocase_equal_unquoted(std::string_view a, std::string_view b) {
    const std::string x = unquoted_name(a), y = unquoted_name(b);
    return x.size() == y.size() && strncasecmp(x.data(), y.data(), x.size()) == 0;
}

// The name as it goes into SQL: a name the job file writes in backquotes is used as
// written, any other one is put in backquotes safely.
std::string sql_table_name(const std::string& name) {
    if (name.size() >= 2 && name.front() == '`' && name.back() == '`') return name;
    return backquoted(name);
}

// The source's "show full fields" of the current table, parsed into ctx.plan.columns, and its
// "show keys"; 0 when either failed (reported).
int describe_table(SyncContext& ctx, ResultPtr& keys) {
    SyncSide& source = ctx.source();
    StrBuf statement;
    ctx.set_status("Getting field information...");
    statement.format("show full fields from %s", ctx.plan.table.c_str());
    ResultPtr fields = query_side(source, statement.c_str());
    if (fields) {
        ctx.set_status("Getting keys information...");
        statement.format("show keys from %s", ctx.plan.table.c_str());
        keys = query_side(source, statement.c_str());
    }
    if (fields && keys) {
        ctx.plan.columns = parse_columns(source.tunnel(), fields.get());
        return 1;
    }
    // A table the source cannot describe (a name not in the source) is not synced.
    ctx.report_error(source);
    return 0;
}

class SyncRun {
public:
    SyncRun(SyncSettings& settings, StatusBlock& status) : settings_(settings), status_(status) {}

    int run();

private:
    int connect_side(SyncSide& side, ServerConnection& conn, ConnectionInfo& info, const HttpTunnelSettings& http,
                     const char* side_name, const char* version_error);
    int check_versions();
    int check_distinct_databases();
    // A run that ends before its tables: the connections are closed and the failure
    // report is mailed when one is asked for. Always 0.
    int fail_early();
    int check_checksum_function();
    int all_tables_loop(SyncContext& ctx);
    int listed_tables_loop(SyncContext& ctx);
    // The tables in the order foreign keys need (table_order.h); entries: null for each
    // table of an all-tables run.
    int run_tables(SyncContext& ctx, const std::vector<const SyncTableEntry*>& entries,
                   const std::vector<std::string>& names);
    // One table in both directions (two-way) or one; -1 ends the loop (abortonerror).
    int one_table(SyncContext& ctx, const SyncTableEntry* entry, const std::string& name, TablePass pass);
    int sync_both_ways(SyncContext& ctx, TunnelResult* keys, const SyncTableEntry* entry);
    bool in_target(const std::string& name) const;
    void report_incompatible(SyncContext& ctx, const StrBuf& error);
    bool triggers_allowed(SyncContext& ctx);
    void append_script(SyncContext& ctx, const char* text) {
        if (ctx.writes_script()) ctx.script().append(text);
    }
    // A script that could not be written ends the run: what it would say is lost.
    bool script_failed(SyncContext& ctx) const { return ctx.writes_script() && script_.failed(); }
    // land_table, with the rows of a pass that landed added to the run's totals.
    int land(SyncContext& ctx, int ok);
    // One table's outcome, for the run's totals.
    void count_table(int ok) { ++(ok == 1 ? totals_.synced : totals_.failed); }
    // What the closing log line says the sync did.
    void set_summary(SyncMode mode);

    struct Totals {
        unsigned synced = 0, failed = 0;
        unsigned long long inserted = 0, updated = 0, deleted = 0;
    };
    Totals totals_;

    SyncSettings& settings_;
    StatusBlock& status_;
    ReportBody report_;
    // The SSH clients stop after the connections through them are closed.
    SshClientStopper stop_source_{settings_.source};
    SshClientStopper stop_target_{settings_.target};
    ServerConnection source_conn_, target_conn_;
    SyncSide source_, target_;
    SyncScript script_;
    std::vector<std::string> target_tables_;
};

int SyncRun::connect_side(SyncSide& side, ServerConnection& conn, ConnectionInfo& info,
                          const HttpTunnelSettings& http, const char* side_name, const char* version_error) {
    side.conn = &conn;
    side.info = &info;
    side.database = info.database.str();
    ConnectSetup setup;
    setup.side = side_name;
    if (!open_connection(conn, info, http, setup)) return 0;  // reported
    if (!set_up_sync_session(side)) {
        report_failure_no_entry(version_error);
        report_query_error(conn.tunnel->error_number(conn.handle), conn.tunnel->error(conn.handle), nullptr,
                           report_, nullptr);
        return 0;
    }
    side.utf8 = server_at_least_4_1_0(*conn.tunnel, conn.handle);
    return 1;
}

int SyncRun::check_versions() {
    if (server_above_4_1_0(source_.tunnel(), source_.handle()) && server_above_4_1_0(target_.tunnel(), target_.handle()))
        return 1;
    show_warning(report_, kVersionTooOld);
    return 0;
}

int SyncRun::check_checksum_function() {
    std::string answers[2];
    SyncSide* sides[2] = {&source_, &target_};
    const char* errors[2] = {"Error fetching concat_ws()information for source database",
                             "Error fetching concat_ws()information for target database"};
    for (int i = 0; i < 2; ++i) {
        ResultPtr result = query_side(*sides[i], kChecksumQuery);
        MYSQL_ROW row = result ? sides[i]->tunnel().fetch_row(result.get()) : nullptr;
        if (!row || !row[0]) {
            report_failure(errors[i]);
            return 0;
        }
        answers[i] = row[0];
    }
    if (strcasecmp(answers[0].c_str(), answers[1].c_str()) == 0) return 1;
    report_failure(
        "The implementation of concat_ws()in source and target MySQL servers are different. KRO uses the "
        "concat_ws()MySQL function to generate checksums. Please make sure that the source and target MySQL servers "
        "are similar.\nExiting Velmar Job Agent.");
    return 0;
}

// A sync of a database onto itself would wait on its own row locks and then fail: it is
// refused once both sides are connected. One server whatever the names it is reached by:
// a named lock taken on one side is seen taken from the other. Through the HTTP tunnel a
// lock lasts one request, so a side in that form only asks.
int SyncRun::check_distinct_databases() {
    SyncSide* holder = !source_.is_http() ? &source_ : (!target_.is_http() ? &target_ : nullptr);
    if (!holder) return 1;
    SyncSide* asker = holder == &source_ ? &target_ : &source_;
    std::random_device random;
    StrBuf lock;
    lock.format("kro-same-server-%08x%08x", random(), random());
    StrBuf statement;
    statement.format("select get_lock('%s', 0), database()", lock.c_str());
    ResultPtr held = query_side(*holder, statement.c_str(), false);
    MYSQL_ROW row = held ? holder->tunnel().fetch_row(held.get()) : nullptr;
    if (!row || !row[0] || strcmp(row[0], "1") != 0) return 1;  // no lock to tell by: nothing to refuse
    const std::string holder_db = row[1] ? row[1] : "";
    held.reset();
    statement.format("select is_used_lock('%s'), database()", lock.c_str());
    ResultPtr asked = query_side(*asker, statement.c_str(), false);
    row = asked ? asker->tunnel().fetch_row(asked.get()) : nullptr;
    const bool same = row && row[0] && row[1] && !holder_db.empty() && holder_db == row[1];
    asked.reset();
    statement.format("select release_lock('%s')", lock.c_str());
    query_side(*holder, statement.c_str(), false);
    if (!same) return 1;
    const std::string text = "The source and the target are the same database `" + holder_db + "` on the same server (" +
                             server_place(settings_.source, "source") + ", " + server_place(settings_.target, "target") +
                             "): a sync needs two different databases\r\n";
    report_failure(text.c_str());
    return 0;
}

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

int SyncRun::fail_early() {
    set_summary(settings_.mode);
    source_conn_.close();
    target_conn_.close();
    end_report_work(report_);
    StrBuf end_time = asctime_text();
    send_report_if_asked(settings_.report, ReportKind::sync, 0, report_, end_time.c_str());
    flush_outputs();
    return 0;
}

bool SyncRun::in_target(const std::string& name) const {
    for (const std::string& t : target_tables_)
        if (nocase_equal_unquoted(t, name)) return true;
    return false;
}

void SyncRun::report_incompatible(SyncContext& ctx, const StrBuf& error) {
    show_warning(report_, error.c_str());
    add_session_entry(error.c_str(), ctx.plan.table_label.c_str());
    flush_outputs();
}

// With refusetriggers, a table whose target has triggers fails before anything is written;
// two-way, the source is written too and is asked as well.
bool SyncRun::triggers_allowed(SyncContext& ctx) {
    if (!settings_.refuse_triggers) return true;
    std::string names = target_trigger_names(ctx);
    const char* side = "target";
    if (names.empty() && settings_.twowaysync) {
        ctx.swap_sides();
        names = target_trigger_names(ctx);
        ctx.swap_sides();
        side = "source";
    }
    if (names.empty()) return true;
    StrBuf error;
    error.format("Table %s has triggers on the %s (%s) and the job refuses such tables "
                 "(<refusetriggers value=\"yes\"/>): nothing was written to it\r\n",
                 ctx.plan.table_label.c_str(), side, names.c_str());
    report_incompatible(ctx, error);
    return false;
}

int SyncRun::sync_both_ways(SyncContext& ctx, TunnelResult* keys, const SyncTableEntry* entry) {
    // Each table is made durable at once (a session lost later takes nothing of it), or
    // undone when it failed.
    int ok = land(ctx, sync_table(ctx, keys));
    // A failed forward pass ends the table: the way back would write the target's older
    // values over the rows the forward pass was to change.
    if (!settings_.twowaysync || !ok) return ok;
    if (ctx.mode() == SyncMode::direct_and_script) ctx.script().append("/*Target To source*/\n\n");
    // The way back is a table of its own: the same names and choices, its key and columns
    // found anew from its own source, its own counts.
    TablePlan back_plan;
    back_plan.table = ctx.plan.table;
    back_plan.table_label = ctx.plan.table_label;
    back_plan.filter = entry ? entry->filter : ctx.plan.filter;
    back_plan.column_list = ctx.plan.column_list;
    back_plan.delete_allowed = ctx.plan.delete_allowed;
    back_plan.same_charset = ctx.plan.same_charset;
    ctx.begin_table(std::move(back_plan));
    print_console("\n");
    ctx.swap_sides();
    // The way back reads the definition from its own source: a result belongs to the
    // connection that made it.
    ResultPtr back_keys = make_result(ctx.source().tunnel(), nullptr);
    int back = land(ctx, describe_table(ctx, back_keys) && sync_table(ctx, back_keys.get()));
    back_keys.reset();
    ctx.swap_sides();
    return ok && back;
}

int SyncRun::one_table(SyncContext& ctx, const SyncTableEntry* entry, const std::string& name, TablePass pass) {
    if (platform::stop_requested()) return -1;  // no table is begun once the run is being stopped
    if (settings_.twowaysync && ctx.mode() == SyncMode::direct_and_script)
        ctx.script().append("/*Source To Target */\n\n");
    ctx.set_status("Retrieving table...");
    TablePlan plan;
    if (entry) {
        plan.table = sql_table_name(entry->name);
        plan.table_label = entry->name;
        plan.filter = entry->filter;
        plan.column_list = entry->column_list;
    } else {
        plan.table = backquoted(name);
        plan.table_label = plan.table;
    }
    plan.delete_allowed = settings_.delete_from_target && !settings_.twowaysync && pass != TablePass::keep_deletes;
    plan.only_deletes = pass == TablePass::only_deletes;
    ctx.begin_table(std::move(plan));
    if (ctx.writes_script()) {
        StrBuf comment;
        comment.format("/* SYNC TABLE : %s */\n\n", sql_comment_text(ctx.plan.table_label).c_str());
        ctx.script().append(comment);
    }
    ctx.set_status("Table info obtained...\r\nChecking for the table...");
    ResultPtr keys = make_result(ctx.source().tunnel(), nullptr);
    if (!describe_table(ctx, keys)) return settings_.abortonerror ? -1 : 0;
    StrBuf listed_error;
    if (!check_column_list(ctx.plan, listed_error)) {
        report_incompatible(ctx, listed_error);
        return settings_.abortonerror ? -1 : 0;
    }
    if (in_target(entry ? entry->name : name)) {
        StrBuf error;
        if (!check_compatibility(ctx, keys.get(), error)) {
            if (error.empty()) error.format("Could not compare the definitions of table '%s'\r\n", ctx.plan.table_label.c_str());
            report_incompatible(ctx, error);
            return settings_.abortonerror ? -1 : 0;
        }
        if (!triggers_allowed(ctx)) return settings_.abortonerror ? -1 : 0;
        int ok = sync_both_ways(ctx, keys.get(), entry);
        return ok ? 1 : (settings_.abortonerror ? -1 : 0);
    }
    ctx.set_status("Table info obtained...\r\nCreating table...");
    if (!create_target_table(ctx)) return settings_.abortonerror ? -1 : 0;
    target_tables_.push_back(entry ? entry->name : name);
    int ok = land(ctx, sync_table(ctx, keys.get()));
    return ok ? 1 : (settings_.abortonerror ? -1 : 0);
}

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

int SyncRun::run() {
    const SyncMode mode = settings_.mode;
    StrBuf start_time = asctime_text();
    StrBuf line;
    line.format(mode == SyncMode::script_only ? "Data Sync script generation started at %s\n\r\n\r\n"
                                              : "Sync started at %s\n\r\n\r\n",
                start_time.c_str());
    print_and_append_log(line.c_str());

    StrBuf error;
    if (!validate_sync_settings(settings_, error)) {
        if (!error.empty()) {
            StrBuf text;
            text.format("Error in information : %s\r\n", error.c_str());
            print_console(text.c_str());
            report_failure(error.c_str());
        }
        return 0;
    }
    const auto started = std::chrono::steady_clock::now();
    start_report(report_, ReportKind::sync, start_time.c_str());

    status_.set_status("Connecting to server...");
    ConnectionInfo* ssh_source = settings_.source.use_ssh ? &settings_.source : nullptr;
    ConnectionInfo* ssh_target = settings_.target.use_ssh ? &settings_.target : nullptr;
    if ((ssh_source || ssh_target) && !start_job_tunnels(ssh_source, ssh_target)) return fail_early();  // reported

    if (!connect_side(source_, source_conn_, settings_.source, settings_.source_http, "source",
                      "Error fetching source server version information."))
        return fail_early();
    status_.set_status("Connected successfully...\r\nConnecting to server...");
    if (!connect_side(target_, target_conn_, settings_.target, settings_.target_http, "target",
                      "Error fetching target server version information."))
        return fail_early();
    if (target_.is_http() && !target_.tunnel().check_tunnel(target_.handle())) {
        report_connection_error(target_.tunnel(), target_.handle(), server_place(settings_.target, "target"));
        return fail_early();
    }
    status_.set_status("Preparing for synchronization...\r\nPreparing for synchronization...");
    if (!check_versions()) return fail_early();
    if (!check_checksum_function()) return fail_early();
    if (!check_distinct_databases()) return fail_early();

    // The session settings, saved so that they are restored at the end.
    source_.fkcheck = target_.fkcheck = settings_.fkcheck;
    std::vector<SyncSide*> framed;
    if (!target_.is_http()) framed.push_back(&target_);
    if (settings_.twowaysync && !source_.is_http()) framed.push_back(&source_);
    for (SyncSide* side : framed) {
        if (!send_session_settings(*side, SessionForm::save, settings_.fkcheck)) {
            report_query_error(side->tunnel().error_number(side->handle()), side->tunnel().error(side->handle()),
                               nullptr, report_, nullptr);
            print_check_line();
            return fail_early();
        }
        side->saved_settings = true;
    }

    StrBuf statement;
    list_tables_statement(target_.tunnel(), target_.handle(), target_.database.c_str(), statement);
    ResultPtr tables = query_side(target_, statement.c_str());
    if (!tables) {
        // The server's own reason (an unknown database, a missing privilege) follows.
        const char* reason = target_.tunnel().error(target_.handle());
        const std::string detail = server_place(settings_.target, "target") + ": " + (reason ? reason : "");
        report_failure(with_detail("Could not get tables for the TARGET MySQL server\r\n", detail).c_str());
        return fail_early();
    }
    while (MYSQL_ROW row = target_.tunnel().fetch_row(tables.get()))
        if (row[0]) target_tables_.emplace_back(row[0]);
    tables.reset();

    if (mode != SyncMode::direct && (settings_.script_path.empty() || !script_.open(settings_.script_path))) {
        static const char kNoScript[] = "Error occured while opening sync file";
        add_to_report(report_, kNoScript, kNoScript);
        print_console(kNoScript);
        return fail_early();
    }

    const char* header = mode == SyncMode::script_only
                             ? "Table                      SrcRows  TgtRows  Insert  Update  Delete"
                             : "Table                      SrcRows  TgtRows  Inserted  Updated  Deleted";
    const char* rule = "=========================  =======  =======  ========  =======  =======";
    for (const char* text : {header, rule}) {
        print_console(text);
        print_console("\n");
        add_to_report(report_, text, text);
    }
    flush_outputs();

    SyncContext ctx(source_, target_, mode, script_, report_, status_);
    ctx.set_fkcheck(settings_.fkcheck);
    long allowance = packet_allowance(target_);
    ctx.byte_limit = statement_byte_limit(allowance > 0 ? allowance : 1024);

    if (ctx.writes_script()) {
        if (target_.tunnel().fetch_server_version(target_.handle())) {
            StrBuf head;
            head.format("/*\n%sMySQL - %s  \n%s\n*/\r\n", banner_text.c_str(),
                        sql_comment_text(target_.tunnel().get_server_info(target_.handle())).c_str(),
                        std::string(69, '*').c_str());
            script_.append(head);
        }
        append_session_script_start(ctx);
        StrBuf db;
        db.format("/* SYNC DB : %s */ \n", sql_comment_text(target_.database).c_str());
        script_.append(db);
    }
    std::vector<SyncSide*> transactions;
    if (settings_.twowaysync && !source_.is_http()) transactions.push_back(&source_);
    if (!target_.is_http()) transactions.push_back(&target_);
    for (SyncSide* side : transactions) {
        query_side(*side, "set autocommit = 0", false);
        side->autocommit_off = true;
        append_script(ctx, "SET AUTOCOMMIT = 0;\n");
    }

    int result = settings_.all_tables ? all_tables_loop(ctx) : listed_tables_loop(ctx);

    for (SyncSide* side : transactions) {
        side->uncommitted = true;  // "commit" is sent whatever the tables did
        if (!commit_side(*side)) {
            ctx.report_error(*side);
            result = 0;
        }
        append_script(ctx, "\nCOMMIT;\n");
    }
    if (ctx.writes_script()) {
        append_session_script_end(ctx);
        script_.flush();
        if (script_.failed()) {
            // Its write error was shown when it happened; the session file gets it too.
            add_session_entry(script_.write_error().c_str());
            result = 0;
        }
    }
    for (SyncSide* side : framed) {
        if (!send_session_settings(*side, SessionForm::restore, settings_.fkcheck)) {
            script_.finish(false);
            report_query_error(side->tunnel().error_number(side->handle()), side->tunnel().error(side->handle()),
                               nullptr, report_, nullptr);
            print_check_line();
            return fail_early();
        }
    }
    source_conn_.close();
    target_conn_.close();
    // A script of a run that failed somewhere lacks changes: it never takes the name of a
    // complete one. One that could not be written is removed, and fails the run.
    const bool named = script_.finish(result != 0) && result != 0;
    if (script_.failed() && result != 0) {
        add_session_entry(script_.write_error().c_str());
        result = 0;
    }
    StrBuf end_time = asctime_text();
    end_report_work(report_);
    set_summary(mode);
    send_report_if_asked(settings_.report, ReportKind::sync, result, report_, end_time.c_str());

    flush_outputs();
    if (mode == SyncMode::script_only && !script_.failed()) {
        std::string path = named ? settings_.script_path : settings_.script_path + ".incomplete";
        StrBuf text;
        text.format("\r\nThe Data Sync script has been generated at : %s\r\n", path.c_str());
        print_console(text.c_str());
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    line.format("\r\nTotal time taken - %u sec(s)\r\n", static_cast<unsigned>(seconds.count()));
    print_console(line.c_str());
    flush_outputs();
    return result;
}

}  // namespace

int run_sync_job(tinyxml2::XMLDocument& doc, long, FILE*, FILE*, int values_are_utf8) {
    StatusBlock status = StatusBlock::open_for_job(job_path);
    status.set_status("Collecting syncronizing information...\r\nCollecting syncronizing information...");
    SyncSettings settings;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    read_sync_settings(root ? root->FirstChildElement() : nullptr, settings, values_are_utf8);
    status.set_status("");
    SyncRun run(settings, status);
    return run.run();
}

}  // namespace kro::sync

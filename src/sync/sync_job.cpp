// The syncjob's entry and its run from start to end: the settings, the connections and
// session frames, the script, the table loop between them, and the closing report.
#include "sync/sync_job.h"

#include <chrono>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "common/sql_comment.h"
#include "common/timestamp.h"
#include "connection/connection_report.h"
#include "connection/helper_queries.h"
#include "connection/ssh_tunnel.h"
#include "mail/report_texts.h"
#include "platform/status_block.h"
#include "report/process_state.h"
#include "report/report_body.h"
#include "report/reporting.h"
#include "sync/sync_run.h"
#include "sync/sync_script.h"
#include "sync/sync_settings.h"
#include "sync/sync_statements.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::sync {

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

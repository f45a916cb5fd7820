#include "import/target_writer.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "connection/helper_queries.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::import {

namespace {

constexpr unsigned kNoSuchTable = 1146;
// Strict mode turns a value the column cannot hold into an error instead of a cut or
// changed value.
constexpr char kStrictMode[] = "set sql_mode = 'STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION'";

}  // namespace

int TargetWriter::connect(ConnectionInfo& info, const HttpTunnelSettings& http, bool execute) {
    execute_ = execute;
    ConnectSetup setup;
    setup.encode_data = http.encode_data;
    setup.side = "MySQL server";
    if (!open_connection(conn_, info, http, setup)) return 0;  // reported
    session_.conn = &conn_;
    session_.info = &info;
    session_.database = info.database.str();
    server_5_ = server_at_least_5_0_0(tunnel(), handle());
    if (!set_up_session()) return 0;
    StrBuf text;
    const std::string database = info.database.str();
    text.format("CREATE DATABASE IF NOT EXISTS %s ", backquoted(database).c_str());
    if (!run(text.str(), false)) return 0;
    text.format("USE %s ", backquoted(database).c_str());
    if (!run(text.str(), false)) return 0;
    tunnel().set_current_db(database.c_str());
    return 1;
}

bool TargetWriter::set_up_session() {
    struct SettingUp {
        bool& flag;
        ~SettingUp() { flag = false; }
    } setting_up{setting_up_ = true};
    set_connection_charset(tunnel(), handle(), "utf8");
    if (is_http()) return true;
    if (server_at_least_5_0_10(tunnel(), handle()) && !run(kStrictMode, false)) return false;
    if (!run(foreign_key_checks_ ? "set FOREIGN_KEY_CHECKS = 1 " : "set FOREIGN_KEY_CHECKS = 0 ", false))
        return false;
    return !session_.autocommit_off || run("SET AUTOCOMMIT = 0", false);
}

void TargetWriter::report_error(std::string_view statement) {
    StrBuf text;
    text.format("\r\nERROR: %ld, %s", static_cast<long>(tunnel().error_number(handle())), tunnel().error(handle()));
    if (!table_.empty()) {
        text.append_format("\r\nTable:%s", table_.c_str());
        if (!statement.empty()) {
            text.append("\r\nSql:");
            text.append(quoted_for_report(statement));
        }
    }
    report_failure(text.c_str());
    progress_.report(kImportFailed, text.str());
}

StatementOutcome TargetWriter::send_http(std::string_view text, bool prefix) {
    // Through the HTTP tunnel every request is a session of its own: the settings travel
    // in the same request as the statement.
    Tunnel& tunnel = *conn_.tunnel;
    MYSQL* handle = conn_.handle;
    if (prefix) {
        for (const char* setting : {"set FOREIGN_KEY_CHECKS = 0", kStrictMode}) {
            if (execute(tunnel, handle, setting, static_cast<unsigned long>(std::strlen(setting)), 1) != 0)
                return refusal_of(tunnel, handle);
            make_result(tunnel, tunnel.store_result(handle, 0, 0));
        }
    }
    if (execute(tunnel, handle, text.data(), static_cast<unsigned long>(text.size()), prefix ? 1 : 0) != 0)
        return refusal_of(tunnel, handle);
    return outcome_of(tunnel, handle, make_result(tunnel, tunnel.store_result(handle, 0, prefix ? 1 : 0)));
}

StatementOutcome TargetWriter::send(std::string_view text, bool prefix, bool write) {
    StatementOutcome outcome;  // failed
    if (!execute_) return outcome;
    if (is_http()) outcome = send_http(text, prefix);
    else if (write) outcome = outcome_of(tunnel(), handle(), session_.write(text));
    else outcome = outcome_of(tunnel(), handle(), session_.query(text, !setting_up_));
    if (outcome.kind != StatementOutcome::ok && tunnel().error_number(handle()) != kNoSuchTable) report_error(text);
    return outcome;
}

int TargetWriter::run(std::string_view text, bool prefix) {
    return send(text, prefix).kind == StatementOutcome::ok ? 1 : 0;
}

bool TargetWriter::table_exists(const std::string& quoted_name) {
    return run("select * from " + quoted_name + " where 1=0", false) || tunnel().error_number(handle()) != kNoSuchTable;
}

StatementOutcome TargetWriter::write_rows(std::string_view text) { return send(text, true, true); }

bool TargetWriter::send_ahead(std::string_view text) {
    if (mysql_send_query(handle(), text.data(), static_cast<unsigned long>(text.size())) == 0) return true;
    report_error(text);
    return false;
}

StatementOutcome TargetWriter::answer_ahead(std::string_view text) {
    if (mysql_read_query_result(handle()) == 0) return outcome_of(tunnel(), handle(), make_result(tunnel(), nullptr));
    StatementOutcome outcome = refusal_of(tunnel(), handle());
    if (tunnel().error_number(handle()) != kNoSuchTable) report_error(text);
    return outcome;
}

int TargetWriter::values_kept(std::string_view statement) {
    // The HTTP form keeps no session to ask; a direct one counts its warnings.
    if (is_http() || mysql_warning_count(handle()) == 0) return 1;
    ResultPtr warnings = query_with_reconnect(tunnel(), handle(), "SHOW WARNINGS", 0);
    if (!warnings) return 1;
    while (MYSQL_ROW row = tunnel().fetch_row(warnings.get())) {
        const long code = row[1] ? std::atol(row[1]) : 0;
        if (code != 1264 && code != 1265 && code != 1292 && code != 1366 && code != 1406) continue;
        StrBuf text;
        text.format("\r\nERROR: %ld, %s", code, row[2] ? row[2] : "");
        if (!table_.empty()) {
            text.append_format("\r\nTable:%s\r\nSql:", table_.c_str());
            text.append(quoted_for_report(statement));
        }
        report_failure(text.c_str());
        progress_.report(kImportFailed, text.str());
        return 0;
    }
    return 1;
}

int TargetWriter::set_foreign_key_checks(bool on) {
    foreign_key_checks_ = on;
    return run(on ? "set FOREIGN_KEY_CHECKS = 1 " : "set FOREIGN_KEY_CHECKS = 0 ", false);
}

int TargetWriter::begin_rows(bool takes_back) {
    if (!run("SET AUTOCOMMIT = 0", false)) return 0;
    session_.autocommit_off = true;
    session_.writes_roll_back = takes_back;
    return 1;
}

int TargetWriter::commit_rows() {
    // A commit the server did not confirm fails the table: its rows may be gone.
    const int ok = session_.commit() ? 1 : 0;
    if (!ok) report_error("COMMIT");
    session_.autocommit_off = false;
    session_.uncommitted = false;
    session_.writes_roll_back = false;
    return run("SET AUTOCOMMIT = 1", false) && ok;
}

void TargetWriter::rollback_rows() {
    if (!execute_) return;
    // A session lost on the way took the rows along: nothing is left to roll back.
    session_.query("ROLLBACK", false);
    session_.autocommit_off = false;
    session_.uncommitted = false;
    session_.writes_roll_back = false;
    run("SET AUTOCOMMIT = 1", false);
}

bool TargetWriter::takes_back(const std::string& database, const std::string& table) {
    if (!execute_) return true;   // nothing is written
    if (is_http()) return false;  // every request a session of its own
    StrBuf engine;
    if (!table_engine(tunnel(), handle(), database.c_str(), table.c_str(), engine)) return false;
    for (const char* transactional : {"InnoDB", "RocksDB", "TokuDB", "ndbcluster"})
        if (strcasecmp(engine.c_str(), transactional) == 0) return true;
    return false;
}

std::uint64_t TargetWriter::row_count(const std::string& database, const std::string& table) {
    return count_rows(tunnel(), handle(), database.c_str(), table.c_str());
}

std::vector<std::string> TargetWriter::primary_key(const std::string& database, const std::string& table) {
    std::vector<std::string> columns;
    if (!execute_) return columns;
    const std::string text =
        "SHOW KEYS FROM " + backquoted(database) + "." + backquoted(table) + " WHERE Key_name = 'PRIMARY'";
    ResultPtr keys = session_.query(text);
    // Key_name, Seq_in_index, Column_name are the third to fifth columns; rows come in key order.
    while (MYSQL_ROW row = keys ? tunnel().fetch_row(keys.get()) : nullptr)
        if (row[4]) columns.emplace_back(row[4]);
    return columns;
}

long TargetWriter::packet_allowance() { return connection::packet_allowance(session_); }

TargetFacts TargetWriter::facts() {
    TargetFacts facts;
    facts.database = session_.database;
    facts.server_4_1 = server_at_least_4_1_0(tunnel(), handle());
    facts.utf8mb4 = facts.server_4_1 && server_has_utf8mb4(tunnel(), handle());
    facts.escape = [this](const std::string& text) { return escape_literal(tunnel(), handle(), text).str(); };
    return facts;
}

}  // namespace kro::import

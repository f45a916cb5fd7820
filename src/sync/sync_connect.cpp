// The run's connections to both servers and the checks that they can be synced.
#include "sync/sync_run.h"

#include <cstring>
#include <random>
#include <string>
#include <strings.h>

#include "connection/connect.h"
#include "connection/connection_report.h"
#include "connection/server_version.h"
#include "report/reporting.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

constexpr char kVersionTooOld[] =
    "Data Sync with this Velmar version will work with MySQL servers from version 4.1.1 and up. One or more of the "
    "servers you specified is a lower version. Please upgrade the older server, or contact your database "
    "administrator for a solution.";
constexpr char kChecksumQuery[] = "select md5(concat_ws('A','B',''))";

}  // namespace

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

}  // namespace kro::sync

#include "sync/sync_statements.h"

#include <cstring>
#include <span>
#include <vector>

#include "connection/server_version.h"
#include "connection/statements.h"
#include "sync/sync_script.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

// TIMESTAMP values are read, compared and written in one zone on both sides, so servers or
// sessions in different zones see no false differences and move no value by hours.
constexpr char kUtcZone[] = "SET time_zone = '+00:00'";

struct SessionSetting {
    const char* save;
    const char* restore;
    const char* plain;
};

constexpr SessionSetting kSqlNotes{"/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */",
                                   "/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */", "/*!40111 SET SQL_NOTES=0 */"};
constexpr SessionSetting kUniqueChecks{"/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */",
                                       "/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */",
                                       "/*!40014 SET UNIQUE_CHECKS=0 */"};
constexpr SessionSetting kSqlMode{"/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */",
                                  "/*!40101 SET SQL_MODE=@OLD_SQL_MODE */",
                                  "/*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */"};
// A side that is written to runs strict: a value the column cannot hold fails its statement
// instead of arriving cut or converted. Zero dates and dates with a zero part, which a
// source may hold from a laxer mode, are still taken as they are, and so are dates the
// calendar lacks: only conversions and cuts fail. The saved mode is restored at the end.
constexpr char kStrictMode[] =
    "/*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,ALLOW_INVALID_DATES' */";
constexpr SessionSetting kForeignKeyChecks{
    "/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */",
    "/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */", "/*!40014 SET FOREIGN_KEY_CHECKS=0 */"};

const char* text_of(const SessionSetting& setting, SessionForm form) {
    switch (form) {
        case SessionForm::save: return setting.save;
        case SessionForm::restore: return setting.restore;
        case SessionForm::plain: break;
    }
    return setting.plain;
}

bool succeeded(SyncSide& side, const ResultPtr& result) {
    return result || !statement_failed(side.tunnel(), side.handle());
}

// Through the HTTP tunnel every request is a session of its own: the settings a statement
// depends on travel with it in one batch. The last result is the statement's; a failure
// anywhere fails it.
ResultPtr run_batch(SyncSide& side, std::span<const char* const> prefix, const char* text) {
    Tunnel& tunnel = side.tunnel();
    MYSQL* handle = side.handle();
    for (const char* statement : prefix) {
        if (execute(tunnel, handle, statement, static_cast<unsigned long>(std::strlen(statement)), 1) != 0)
            return make_result(tunnel, nullptr);
        make_result(tunnel, tunnel.store_result(handle, 0, 0, 0));
    }
    if (execute(tunnel, handle, text, static_cast<unsigned long>(std::strlen(text)), 1) != 0)
        return make_result(tunnel, nullptr);
    ResultPtr result = make_result(tunnel, tunnel.store_result(handle, 0, 1, 0));
    bool failed = !result && statement_failed(tunnel, handle);
    while (!failed && tunnel.next_result(handle) == 0) {
        result = make_result(tunnel, tunnel.store_result(handle, 0, 0, 0));
        failed = !result && statement_failed(tunnel, handle);
    }
    if (failed) result.reset();
    return result;
}

}  // namespace

ResultPtr query_side(SyncSide& side, const char* text, bool retry) {
    if (side.is_http()) {
        side.lost_changes = false;
        const char* const zone[] = {kUtcZone};
        return run_batch(side, zone, text);
    }
    return side.query(text, retry);
}

bool SyncSide::set_up() { return set_up_sync_session(*this); }

bool set_up_sync_session(SyncSide& side) {
    if (!set_up_session(*side.conn, *side.info)) return false;
    if (side.is_http()) return true;
    if (!succeeded(side, query_side(side, kUtcZone, false))) return false;
    if (side.saved_settings && !send_session_settings(side, SessionForm::save, side.fkcheck)) return false;
    if (side.autocommit_off && !succeeded(side, query_side(side, "set autocommit = 0", false))) return false;
    if (side.multi_statements && !side.tunnel().set_multi_statements(side.handle())) return false;
    return true;
}

ResultPtr execute_on_target(SyncContext& ctx, SyncSide& side, const StrBuf& statement) {
    ResultPtr result = make_result(side.tunnel(), nullptr);
    if (side.is_http()) {
        std::vector<const char*> settings = {kSqlNotes.plain, kUniqueChecks.plain, kSqlMode.plain, kStrictMode};
        if (ctx.fkcheck()) settings.push_back(kForeignKeyChecks.plain);
        settings.push_back(kUtcZone);
        result = run_batch(side, settings, statement.c_str());
    } else {
        result = side.write(statement.view());
    }
    if (succeeded(side, result)) side.changed();
    return result;
}

int send_session_settings(SyncSide& side, SessionForm form, bool fkcheck) {
    for (const SessionSetting* setting : {&kSqlNotes, &kUniqueChecks, &kSqlMode, &kForeignKeyChecks}) {
        if (setting == &kForeignKeyChecks && !fkcheck) continue;
        if (!succeeded(side, query_side(side, text_of(*setting, form), false))) return 0;
        if (setting == &kSqlMode && form != SessionForm::restore &&
            !succeeded(side, query_side(side, kStrictMode, false)))
            return 0;
    }
    return 1;
}

void append_session_script_start(SyncContext& ctx) {
    SyncScript& script = ctx.script();
    // The script's values are UTF-8 and its TIMESTAMP values in UTC, whatever the client
    // that replays it would choose.
    SyncSide& target = ctx.target();
    script.append(server_has_utf8mb4(target.tunnel(), target.handle()) ? "/*!40101 SET NAMES utf8mb4 */;\n"
                                                                         : "/*!40101 SET NAMES utf8 */;\n");
    script.append("/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE, TIME_ZONE='+00:00' */;\n");
    script.append("/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;\n");
    if (ctx.fkcheck())
        script.append("/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;\n");
    script.append("/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;\n");
    script.append(kStrictMode);
    script.append(";\n");
    script.append("/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;\n\n");
}

void append_session_script_end(SyncContext& ctx) {
    SyncScript& script = ctx.script();
    script.append("/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;\n");
    if (ctx.fkcheck()) script.append("/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */;\n");
    script.append("/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */;\n");
    script.append("/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;\n");
    script.append("/*!40103 SET TIME_ZONE=@OLD_TIME_ZONE */;\n");
}

int commit_side(SyncSide& side) { return side.commit() ? 1 : 0; }

}  // namespace kro::sync

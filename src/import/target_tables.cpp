// The import's tables on the target: CREATE TABLE (or what an existing table's conflict
// action asks for) and the foreign keys added once every table is there.
#include <strings.h>

#include "common/str_buf.h"
#include "connection/sql_quote.h"
#include "import/import_job.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::import {

namespace {

bool same_nocase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

}  // namespace

int ImportJob::make_table(const ImportTable& table, const TableKeys& keys, bool query_import) {
    if (target_.table_exists(backquoted(table.target_name))) {
        if (same_nocase(table.table_conflict, "abort")) {
            StrBuf text;
            text.format(query_import ? "\r\n%s: Table alreadys exits...Job aborted"
                                     : "\r\n%s: Table alreadys exists...Job aborted",
                        table.source_name.c_str());
            report_failure(text.c_str());
            progress_.report(kImportFailed, text.str());
            return kStopJob;
        }
        if (!same_nocase(table.table_conflict, "recreate")) return 1;
        if (!target_.run("DROP TABLE IF EXISTS " + backquoted(s_.target.database.str()) + "." +
                               backquoted(table.target_name),
                           true))
            return 0;
    }
    return target_.run(create_table_text(table, keys, target_.facts()), true);
}

int ImportJob::foreign_key_pass() {
    // Foreign keys are added with the checks on, so that one whose table or columns are
    // missing on the target is refused and reported instead of left dangling. (Through the
    // HTTP tunnel a statement without the prefix runs with the server's default, on.)
    const bool direct = !target_.is_http();
    if (direct && !target_.set_foreign_key_checks(true)) return 0;
    struct ChecksOff {
        TargetWriter& target;
        bool direct;
        ~ChecksOff() {
            if (direct) target.set_foreign_key_checks(false);
        }
    } checks_off{target_, direct};
    for (ImportTable& table : s_.tables) {
        if (!table.create_foreign_keys || !same_nocase(table.engine, "InnoDB")) continue;
        target_.set_table(table.source_name);
        progress_.report(kForeignKeysStarted, table.target_name);
        std::string clauses;
        bool ok = source_.read_foreign_keys(table, s_.all_tables ? nullptr : &s_.tables, clauses);
        if (ok && !clauses.empty())
            ok = target_.run(" ALTER TABLE " + backquoted(table.target_name) + " " + clauses + " ", false);
        if (!ok) {
            some_table_failed_ = true;
            if (s_.abort_on_error) {
                progress_.report(kImportFailed, table.target_name);
                return 0;
            }
        }
        progress_.report(kForeignKeysDone, table.target_name);
    }
    return 1;
}

}  // namespace kro::import

// The log of each job kind, on success and on failure, compared whole with a golden file
// (tests/integration/golden/<kind>.log): every line kro writes there, in order, with the
// run's times, folder, ports and dump sizes masked and carriage returns shown as "\r".
//
// A change of a log text is made on purpose by rewriting the golden files:
//   KRO_UPDATE_GOLDEN=1 build/kro_integration_tests --gtest_filter='JobLog.*'
// then the diff of tests/integration/golden/ shows what the change did to the logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <regex>
#include <string>
#include <vector>

#include "export_fixture.h"
#include "import_sources.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"
#include "sync_fixture.h"

namespace {

struct LogCase {
    std::string name;
    std::string job;  // the job file
    int exit_code;
    std::vector<std::string> env;
};

// The log with what differs from run to run replaced by a mark.
std::string masked(std::string log, const std::string& dir) {
    for (std::size_t at; (at = log.find(dir)) != std::string::npos;) log.replace(at, dir.size(), "<dir>");
    for (const char* key : {"MARIADB_PORT", "SMTP_PORT"}) {
        const std::string port = service_value(key);
        for (std::size_t at; (at = log.find(port)) != std::string::npos;) log.replace(at, port.size(), "<port>");
    }
    static const std::regex time(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4})");
    static const std::regex bytes(R"(\([0-9]+ bytes)");
    log = std::regex_replace(log, time, "<time>");
    log = std::regex_replace(log, bytes, "(<n> bytes");
    std::string shown;
    for (char c : log) shown += c == '\r' ? std::string("\\r") : std::string(1, c);
    return shown;
}

// Runs each case in a folder of its own; the masked logs, each after a line naming it.
std::string logs_of(const std::vector<LogCase>& cases) {
    std::string all;
    for (const LogCase& c : cases) {
        TempDir dir;
        write_file(dir.file("job.xml"), c.job);
        chmod(dir.file("job.xml").c_str(), 0600);  // it holds a password
        const RunResult run = run_kro({"job.xml"}, dir.path(), c.env);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name << "\n" << run.out;
        all += "### " + c.name + " (exit code " + std::to_string(run.exit_code) + ")\n" +
               masked(read_file(dir.file("kro.log")), dir.path());
    }
    return all;
}

void expect_golden(const std::string& kind, const std::string& logs) {
    const std::string path = std::string(KRO_TESTS_DIR) + "/integration/golden/" + kind + ".log";
    const char* update = std::getenv("KRO_UPDATE_GOLDEN");
    if (update && *update && std::string(update) != "0") {
        write_file(path, logs);
        std::printf("rewrote %s\n", path.c_str());
        return;
    }
    EXPECT_EQ(logs, file_exists(path) ? read_file(path) : "<no golden file>")
        << kind << ": the log differs from " << path << " (KRO_UPDATE_GOLDEN=1 rewrites it)";
}

std::string server_xml(const char* element, const std::string& database, const std::string& port) {
    return std::string("<") + element + "><host>127.0.0.1</host><port>" + port + "</port><user>" +
           service_value("MARIADB_USER") + "</user><pwd>" + xml_escaped(service_value("MARIADB_PASSWORD")) +
           "</pwd><database>" + database + "</database><compressed>0</compressed></" + element + ">";
}

std::string smtp_xml(const std::string& token) {
    return "<smtp><displayname>kro</displayname><fromemail>kro@example.test</fromemail><host>" +
           service_value("SMTP_HOST") + "</host><port>" + service_value("SMTP_PORT") + "</port><toemail>" + token +
           "@example.test</toemail><subject>nightly</subject></smtp>";
}

const char kXml[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace

TEST(JobLog, EachJobKindLogsAsItsGoldenFileOnSuccessAndFailure) {
    mariadb_exec("DROP DATABASE IF EXISTS gold_src; DROP DATABASE IF EXISTS gold_tgt;"
                 "CREATE DATABASE gold_src; CREATE DATABASE gold_tgt;"
                 "CREATE TABLE gold_src.t (id INT PRIMARY KEY, city VARCHAR(40));"
                 "INSERT INTO gold_src.t VALUES (1, 'Oslo'), (2, 'Bergen');"
                 "CREATE TABLE gold_tgt.t (id INT PRIMARY KEY, city VARCHAR(40)); INSERT INTO gold_tgt.t VALUES (1, 'Oslo');"
                 "CREATE TABLE gold_src.narrow (id INT PRIMARY KEY, city VARCHAR(40));"
                 "CREATE TABLE gold_tgt.narrow (id INT PRIMARY KEY, city VARCHAR(30));"
                 "CREATE TABLE gold_src.ticks (id INT PRIMARY KEY, a INT, b INT);"
                 "CREATE TABLE gold_tgt.ticks (id INT PRIMARY KEY, a INT, c INT, d INT);");
    const std::string port = service_value("MARIADB_PORT");

    // Export: a dump with its rows; a port that is no port.
    const std::string dump = "<export><databases><database name=\"gold_src\"><objects><tables><table>t</table>"
                             "</tables></objects></database></databases><script>d.sql</script></export>";
    expect_golden("export", logs_of({
        {"success", kXml + std::string("<job><exportjob>") + server_xml("source", "gold_src", port) + dump +
                        "</exportjob></job>", 0, {}},
        {"failure", kXml + std::string("<job><exportjob>") + server_xml("source", "gold_src", "49901x") + dump +
                        "</exportjob></job>", 1, {}},
    }));

    // Sync: a changed row; tables whose definitions differ, with the failure report mailed.
    expect_golden("sync", logs_of({
        {"success", sync_job_xml(server_xml("source", "gold_src", port), server_xml("target", "gold_tgt", port),
                                 "<tables all=\"no\"><table><name>t</name></table></tables><sync_action type=\"directsync\"/>"), 0, {}},
        {"failure", sync_job_xml(server_xml("source", "gold_src", port), server_xml("target", "gold_tgt", port),
                                 "<tables all=\"no\"><table><name>narrow</name></table><table><name>ticks</name></table></tables>"
                                 "<sync_action type=\"directsync\"/><sendreport send=\"yes\">" +
                                     smtp_xml(unique_mail_token("gold-sync")) + "</sendreport>"), 1, {}},
    }));

    // Notify: statements mailed; a statement the server refuses.
    auto notify = [&](const std::string& query) {
        return kXml + std::string("<job><notifyjob>") + server_xml("source", "gold_src", port) +
               smtp_xml(unique_mail_token("gold-notify")) + "<query>" + query +
               "</query><abortonerror value=\"yes\"/></notifyjob></job>";
    };
    expect_golden("notify", logs_of({
        {"success", notify("select city from t order by id; update t set city = city"), 0, {}},
        {"failure", notify("select city from t; select nope from t; select 1"), 1, {}},
    }));

    // Import: a table of the SQLite source; a table it does not have.
    sqlite_run("DROP TABLE IF EXISTS gold; CREATE TABLE gold (id INTEGER PRIMARY KEY, name TEXT);"
               "INSERT INTO gold VALUES (1, 'one'), (2, 'two'), (3, 'three');");
    auto import = [&](const std::string& table) {
        return kXml + std::string("<job><odbcimport>") + target_element("gold_imp") + "<dsn type=\"system\"><name>" +
               service_value("ODBC_SQLITE_DSN") + "</name></dsn><tables all=\"no\"><table source=\"" + table +
               "\" target=\"\"/></tables></odbcimport></job>";
    };
    mariadb_exec("DROP DATABASE IF EXISTS gold_imp");
    expect_golden("import", logs_of({
        {"success", import("gold"), 0, odbc_env()},
        {"failure", import("missing"), 1, odbc_env()},
    }));
}

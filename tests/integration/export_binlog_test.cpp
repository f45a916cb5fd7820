// Dumps that carry the source's binary log position: the position matches the data (the
// dump restored and the binary log replayed from its position give the source exactly, also
// while a writer commits during the dump), and only a job that asks for it, of a server
// that writes a binary log, gets position lines; a position that cannot be read fails it.
#include <gtest/gtest.h>

#include <mysql.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include "export_fixture.h"

namespace {

const char kBinlogServer[] = "MARIADB_BINLOG";
const char kDatabase[] = "kro_binlog_src";
const char kPositionOptions[] =
    "<singletransaction>yes</singletransaction><binlogposition>yes</binlogposition><bulkinsert>yes</bulkinsert>";

struct MysqlCloser {
    void operator()(MYSQL* handle) const { mysql_close(handle); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlCloser>;

// A connection of the test's own to the server with binary logging, in the source database.
MysqlPtr connect_binlog_server() {
    const std::string prefix = kBinlogServer;
    MysqlPtr handle(mysql_init(nullptr));
    const std::string host = service_value(prefix + "_HOST"), user = service_value(prefix + "_USER"),
                      password = service_value(prefix + "_PASSWORD");
    if (!mysql_real_connect(handle.get(), host.c_str(), user.c_str(), password.c_str(), kDatabase,
                            std::stoul(service_value(prefix + "_PORT")), nullptr, 0))
        ADD_FAILURE() << mysql_error(handle.get());
    return handle;
}

std::string export_xml(const std::string& dump, const char* options, const std::string& server = kBinlogServer) {
    return export_job_xml(std::string("<databases><database name=\"") + kDatabase +
                              "\"><objects all=\"yes\"/></database></databases><script>" + dump + "</script>",
                          options, "", server);
}

struct DumpPosition {
    std::string file, position;
};

DumpPosition position_of(const std::string& dump_text) {
    static const std::regex line("\n-- CHANGE MASTER TO MASTER_LOG_FILE='([^']+)', MASTER_LOG_POS=([0-9]+);\n");
    std::smatch m;
    if (!std::regex_search(dump_text, m, line)) return {};
    return {m[1], m[2]};
}

// Replays the binary log of the source database from a position onto the first server.
int replay_binlog(const DumpPosition& from) {
    const std::string s = kBinlogServer;
    const std::string command =
        "mariadb-binlog --no-defaults --skip-ssl --read-from-remote-server --to-last-log -h " +
        shell_quote(service_value(s + "_HOST")) + " -P " + shell_quote(service_value(s + "_PORT")) + " -u " +
        shell_quote(service_value(s + "_USER")) + " -p" + shell_quote(service_value(s + "_PASSWORD")) +
        " --database=" + kDatabase + " --start-position=" + from.position + " " + shell_quote(from.file) +
        " | mariadb --no-defaults --skip-ssl --default-character-set=utf8mb4 -h " +
        shell_quote(service_value("MARIADB_HOST")) + " -P " + shell_quote(service_value("MARIADB_PORT")) + " -u " +
        shell_quote(service_value("MARIADB_USER")) + " -p" + shell_quote(service_value("MARIADB_PASSWORD")) + " 2>&1";
    RunResult run = run_program("/bin/sh", {"-c", command}, "/tmp");
    EXPECT_EQ(run.out, "");
    return run.exit_code;
}

const char* const kTables[] = {"t", "counter"};

}  // namespace

// Three dumps taken while a writer inserts, updates and deletes in single-statement commits:
// each restored onto the other server and brought forward with the binary log from its
// position equals the source row for row; a position taken outside the snapshot would
// replay a commit twice or miss one.
TEST(ExportBinlog, DumpTakenWhileAWriterCommitsReplaysFromItsPositionToTheSource) {
    recreate_database(kDatabase, kBinlogServer);
    EXPECT_EQ(client_query(std::string("use ") + kDatabase +
                               "; create table t (id int auto_increment primary key, v varchar(40), n int);"
                               "create table counter (id int primary key, n bigint);"
                               "insert into counter values (0, 0), (1, 0), (2, 0), (3, 0), (4, 0);"
                               "insert into t (v, n) select concat('r', seq), seq from seq_1_to_3000",
                           kBinlogServer),
              "");
    std::atomic<bool> stop{false};
    std::atomic<long> commits{0};
    std::thread writer([&] {
        MysqlPtr handle = connect_binlog_server();
        for (long i = 1; !stop; ++i) {
            const std::string statements[] = {
                "insert into t (v, n) values ('w" + std::to_string(i) + "', " + std::to_string(i) + ")",
                "update counter set n = n + " + std::to_string(i) + " where id = " + std::to_string(i % 5),
                "delete from t where id = " + std::to_string(i * 7 % 3000 + 1),
            };
            for (const std::string& sql : statements)
                if (mysql_real_query(handle.get(), sql.data(), sql.size()) != 0) {
                    ADD_FAILURE() << sql << ": " << mysql_error(handle.get());
                    return;
                }
            ++commits;
        }
    });
    auto wait_for_commits = [&](long count) {
        for (int i = 0; i < 300 && commits < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    TempDir dir;
    std::vector<std::string> dumps;
    for (int i = 0; i < 3; ++i) {
        wait_for_commits(commits + 50);
        dumps.push_back(dir.file("dump" + std::to_string(i) + ".sql"));
        RunResult run = run_export_job(dir, export_xml(dumps.back(), kPositionOptions));
        EXPECT_EQ(run.exit_code, 0) << run.out;
    }
    wait_for_commits(commits + 50);
    stop = true;
    writer.join();

    for (const std::string& dump : dumps) {
        SCOPED_TRACE(dump);
        const std::string text = read_file(dump);
        const DumpPosition position = position_of(text);
        ASSERT_FALSE(position.file.empty()) << text.substr(0, 600);
        // The run's closing log line names the dump and the position it holds.
        const std::string log = read_file(dir.file("kro.log"));
        const std::size_t wrote = log.find("exit code 0. Wrote " + dump + " (");
        ASSERT_NE(wrote, std::string::npos) << log;
        const std::string closing = log.substr(wrote, log.find('\n', wrote) - wrote);
        EXPECT_TRUE(std::regex_search(closing, std::regex(R"( \([0-9]+ bytes, [0-9]{4} rows\); binary log )")))
            << closing;
        EXPECT_TRUE(closing.ends_with("; binary log " + position.file + " at " + position.position + ".\r")) << closing;
        EXPECT_TRUE(std::regex_search(text, std::regex("\n-- SET GLOBAL gtid_slave_pos='[0-9]+-[0-9]+-[0-9]+';\n")));
        recreate_database(kDatabase);
        std::string output;
        ASSERT_EQ(replay_dump(dump, kDatabase, &output), 0) << output;
        // The writer went on after the dump: the copy is behind until the log is replayed.
        EXPECT_NE(table_rows(kDatabase, "counter"), table_rows(kDatabase, "counter", kBinlogServer));
        ASSERT_EQ(replay_binlog(position), 0);
        for (const char* table : kTables)
            EXPECT_EQ(table_rows(kDatabase, table), table_rows(kDatabase, table, kBinlogServer)) << table;
    }
    recreate_database(kDatabase);
}

// Nothing changes for a job without the setting, nor for a server without a binary log; a
// user who may not read the position gets a failed export that says why, and no dump
// under the complete name.
TEST(ExportBinlog, PositionOnlyWhenAskedAndLoggedAndItsFailureFailsTheExport) {
    recreate_database(kDatabase, kBinlogServer);
    recreate_database(kDatabase);
    const std::string table = std::string("create table ") + kDatabase + ".t (id int primary key); insert into " +
                              kDatabase + ".t values (1)";
    EXPECT_EQ(client_query(table, kBinlogServer), "");
    EXPECT_EQ(client_query(table), "");
    TempDir dir;
    struct Case {
        const char* name;
        const char* options;
        const char* server;
    } cases[] = {
        {"without_setting", "<singletransaction>yes</singletransaction>", kBinlogServer},
        {"without_binary_log", kPositionOptions, "MARIADB"},
    };
    for (const Case& c : cases) {
        const std::string dump = dir.file(std::string(c.name) + ".sql");
        RunResult run = run_export_job(dir, export_xml(dump, c.options, c.server));
        EXPECT_EQ(run.exit_code, 0) << c.name << run.out;
        EXPECT_EQ(read_file(dump).find("MASTER_LOG"), std::string::npos) << c.name;
        EXPECT_EQ(read_file(dump).find("gtid"), std::string::npos) << c.name;
    }

    EXPECT_EQ(client_query(std::string("create or replace user kro_reader@'%' identified by 'Reader_pw1';"
                                       "grant select, lock tables, show view on ") +
                               kDatabase + ".* to kro_reader@'%'",
                           kBinlogServer),
              "");
    std::string xml = export_xml(dir.file("refused.sql"), kPositionOptions);
    const std::string user = service_value(std::string(kBinlogServer) + "_USER");
    const std::string password = service_value(std::string(kBinlogServer) + "_PASSWORD");
    xml.replace(xml.find("<user>" + user + "</user>"), user.size() + 13, "<user>kro_reader</user>");
    xml.replace(xml.find("<pwd>" + password + "</pwd>"), password.size() + 11, "<pwd>Reader_pw1</pwd>");
    RunResult run = run_export_job(dir, xml);
    EXPECT_NE(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("The binary log position for the dump could not be read (it needs the RELOAD and the "
                           "BINLOG MONITOR or REPLICATION CLIENT privileges): "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("RELOAD"), std::string::npos) << run.out;
    EXPECT_FALSE(file_exists(dir.file("refused.sql")));
    EXPECT_EQ(client_query("drop user kro_reader@'%'", kBinlogServer), "");
    recreate_database(kDatabase);
}

// Dumps that carry the source's binary log position: the position matches the data (the
// dump restored and the binary log replayed from its position give the source exactly, also
// while a writer commits during the dump), and only a job that asks for it, of a server
// that writes a binary log, gets position lines; a position that cannot be read fails it.
// Flushes asked for with a snapshot do not end it.
#include <gtest/gtest.h>

#include <mysql.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

// A flush ends the transaction it runs in: with singletransaction the logs are flushed (and,
// for flushslave, the tables read-locked) once, before the snapshot begins, and every table
// is read in that one snapshot. The dump goes into a pipe the test stops reading once the
// first table's rows have begun, so the dump waits in the middle of that table while a row
// is committed to a later one; that row must not be in the dump.
TEST(ExportBinlog, FlushesComeBeforeTheSnapshotEveryTableIsReadIn) {
    recreate_database(kDatabase, kBinlogServer);
    EXPECT_EQ(client_query(std::string("use ") + kDatabase +
                               "; create table a_first (id int primary key, v varchar(200)) engine=InnoDB;"
                               "insert into a_first select seq, repeat('x', 150) from seq_1_to_30000;"
                               "create table b_later (id int primary key, note varchar(20)) engine=InnoDB;"
                               "insert into b_later values (1, 'before')",
                           kBinlogServer),
              "");
    for (const char* flush : {"<flushlogs>yes</flushlogs>", "<flushslave>yes</flushslave>"}) {
        SCOPED_TRACE(flush);
        TempDir dir;
        const std::string fifo = dir.file("dump.sql");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const std::string options = std::string("<singletransaction>yes</singletransaction><bulkinsert>yes</bulkinsert>") + flush;
        RunResult run;
        std::thread export_run([&] { run = run_export_job(dir, export_xml(fifo, options.c_str())); });
        std::string text;
        // Opened after the dump opened its end; the run is joined whatever happens here.
        if (std::unique_ptr<FILE, int (*)(FILE*)> in{std::fopen(fifo.c_str(), "r"), std::fclose}; in) {
            char buffer[4096];
            const std::string first_rows = "/*Data for the table `a_first` */";
            while (text.find(first_rows) == std::string::npos) {
                std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
                if (n == 0) break;
                text.append(buffer, n);
            }
            // More of the first table's rows are still to come than the pipe and the
            // dump's buffers hold: the dump waits inside that table.
            EXPECT_NE(text.find(first_rows), std::string::npos);
            EXPECT_EQ(client_query(std::string("set lock_wait_timeout = 20; insert into ") + kDatabase +
                                       ".b_later values (2, 'during')",
                                   kBinlogServer),
                      "");
            while (std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get())) text.append(buffer, n);
        } else {
            ADD_FAILURE() << "the pipe could not be opened";
        }
        export_run.join();
        EXPECT_EQ(run.exit_code, 0) << run.out;
        const std::size_t later = text.find("/*Data for the table `b_later` */");
        ASSERT_NE(later, std::string::npos) << run.out;
        EXPECT_NE(text.find("'before'", later), std::string::npos);
        EXPECT_EQ(text.find("'during'", later), std::string::npos);
        EXPECT_EQ(client_query(std::string("delete from ") + kDatabase + ".b_later where id = 2", kBinlogServer), "");
    }
    recreate_database(kDatabase, kBinlogServer);
}

// Faults during a chunk comparison: a chunk statement the server refuses, a key range that
// starts where the server's arithmetic has no value, a session killed while the chunks are
// compared, and a source that changes meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

const char* const source_db = "kro_sync_fault_src";
const char* const target_db = "kro_sync_fault_tgt";

std::string job_xml(const std::string& table_entry) {
    return sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                        "<tables all=\"no\">" + table_entry + "</tables>");
}

// Both sides hold rows 1..rows of the same table; the target misses every 1000th row.
void make_tables(int rows) {
    recreate_database(source_db);
    recreate_database(target_db);
    for (const char* db : {source_db, target_db})
        mariadb_exec(std::string("use `") + db + "`; create table t (id int primary key, v varchar(40) null); " +
                     "insert into t select seq, md5(seq) from seq_1_to_" + std::to_string(rows) +
                     (db == target_db ? " where seq % 1000 <> 7" : ""));
}

// A sync job on a thread of its own, while the test works on the servers.
class SyncInBackground {
public:
    SyncInBackground(const TempDir& dir, const std::string& xml)
        : thread_([this, &dir, xml] {
              run_ = run_sync_job(dir, xml);
              done_ = true;
          }) {}
    ~SyncInBackground() {
        if (thread_.joinable()) thread_.join();
    }
    bool done() const { return done_; }
    RunResult finish() {
        thread_.join();
        return run_;
    }

private:
    std::atomic<bool> done_{false};
    RunResult run_;
    std::thread thread_;
};

TEST(SyncChunkFaults, AChunkStatementTheServerRefusesFailsTheTableWithTheServersText) {
    make_tables(3000);
    TempDir dir;
    RunResult run = run_sync_job(dir, job_xml("<table><name>`t`</name><columns all=\"no\"><column>id</column><column>v</column>"
                       "</columns><sqlwhere>`gone` &gt; 0</sqlwhere></table>"));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(read_file(dir.file("session.xml")).find("Unknown column 'gone'"), std::string::npos)
        << read_file(dir.file("session.xml"));
    EXPECT_EQ(mariadb_value(std::string("select count(*) from `") + target_db + "`.t"), "2997");
}

// A TIMESTAMP key starting at the zero timestamp, which the server's second arithmetic
// has no value for: the range still starts below every row, and every chunk is compared.
TEST(SyncChunkFaults, AZeroTimestampKeyIsCutIntoChunksLikeAnyOther) {
    for (const char* db : {source_db, target_db}) {
        recreate_database(db);
        mariadb_exec(std::string("use `") + db + "`; set session sql_mode = ''; " +
                     "create table d (at timestamp not null default 0 primary key, v int); " +
                     "insert into d values (0, 0); insert into d select from_unixtime(1600000000 + seq * 60), seq " +
                     "from seq_1_to_3000");
    }
    mariadb_exec(std::string("use `") + target_db + "`; update d set v = -1 where v % 700 = 0; " +
                 "delete from d where v % 900 = 1; insert into d values (from_unixtime(1500000000), 7)");
    TempDir dir;
    RunResult run = run_sync_job(dir, job_xml("<table><name>`d`</name></table>"));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "`d`", 3001, 2998, 4, 5, 1)) << run.out;
    EXPECT_EQ(table_checksum(source_db, "d"), table_checksum(target_db, "d"));
}

TEST(SyncChunkFaults, ASourceSessionKilledDuringTheChunksIsOpenedAgainAndTheSyncCompletes) {
    make_tables(400000);
    TempDir dir;
    SyncInBackground job(dir, job_xml("<table><name>`t`</name></table>"));
    // The source's session while it reads a chunk: its checksum, or (every chunk differs
    // here) its rows' digests.
    std::string killed;
    const std::string find = std::string("select id from information_schema.processlist where db = '") + source_db +
                             "' and (instr(info, 'chunk_num') > 0 or instr(info, '__crc') > 0) limit 1";
    while (!job.done() && killed.empty()) {
        killed = mariadb_value(find);
        if (killed.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!killed.empty()) mariadb_exec("kill connection " + killed);
    RunResult run = job.finish();
    ASSERT_FALSE(killed.empty()) << "the sync ended before its session could be killed:\n" << run.out;
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(table_checksum(source_db, "t"), table_checksum(target_db, "t"));
    EXPECT_TRUE(has_summary(run.out, "`t`", 400000, 399600, 400, 0, 0)) << run.out;
}

// Rows inserted, changed and deleted on the source while its chunks are compared: the run
// ends without a fault, and the next one leaves both sides equal with nothing more to do.
TEST(SyncChunkFaults, ASourceChangingDuringTheComparisonIsCaughtUpByTheNextRun) {
    const int rows = 150000;
    make_tables(rows);
    TempDir dir;
    const std::string xml = job_xml("<table><name>`t`</name></table>");
    SyncInBackground job(dir, xml);
    const std::string table = std::string("`") + source_db + "`.t";
    int rounds = 0;
    while (!job.done()) {
        // Spread over the whole key range, so that chunks before and after the one being
        // compared change.
        const std::string n = std::to_string(rounds++);
        mariadb_exec(std::string("use `") + source_db + "`; update " + table + " set v = concat('changed ', " + n +
                     ") where id % 997 = " + n + "; delete from " + table + " where id % 991 = " + n +
                     "; insert ignore into " + table + " select " + std::to_string(rows) + " + seq * 50 + " + n +
                     ", 'new' from seq_1_to_20");
    }
    RunResult run = job.finish();
    ASSERT_GT(rounds, 1) << "the sync ended before the source could change:\n" << run.out;
    EXPECT_EQ(run.exit_code, 0) << run.out;

    TempDir again;
    RunResult second = run_sync_job(again, xml);
    EXPECT_EQ(second.exit_code, 0) << second.out;
    EXPECT_EQ(table_checksum(source_db, "t"), table_checksum(target_db, "t"));
    TempDir third;
    RunResult last = run_sync_job(third, xml);
    const unsigned count = std::stoul(mariadb_value("select count(*) from " + table));
    EXPECT_TRUE(has_summary(last.out, "`t`", count, count, 0, 0, 0)) << last.out;
}

}  // namespace

// Equal chunks are checksummed in growing runs; a differing chunk ends its run and the
// checksums after it are taken again. Differences placed in chunk 4 (inside a run of four),
// chunk 5 (among the checksums that run dropped), 15 and 30 must each be found exactly once,
// on the key-range path and on the key-order path. Rows whose digests tell them apart
// only together are repaired all the same.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

const char* const source_db = "kro_sync_runs_src";
const char* const target_db = "kro_sync_runs_tgt";

// The number of "Start of batch" markers in the script: one per differing chunk.
int batches(const std::string& script) {
    int n = 0;
    for (std::size_t at = script.find("Start of batch"); at != std::string::npos;
         at = script.find("Start of batch", at + 1))
        ++n;
    return n;
}

TEST(SyncChunkRuns, DifferencesInsideAndRightAfterARunOfEqualChunksAreEachRepairedOnce) {
    recreate_database(source_db);
    recreate_database(target_db);
    // 40,000 rows with even ids: `r` is compared by key ranges, `o` (two key columns) by
    // chunks of 1000 rows in key order, where row i lies in chunk i / 1000.
    for (const char* db : {source_db, target_db})
        mariadb_exec(std::string("use `") + db + "`; " +
                     "create table r (id int primary key, v varchar(40)); "
                     "create table o (a int, b int, v varchar(40), primary key (a, b)); "
                     "insert into r select seq * 2, md5(seq) from seq_1_to_40000; "
                     "insert into o select seq * 2 div 100, seq * 2 mod 100, md5(seq) from seq_1_to_40000");
    mariadb_exec(std::string("use `") + target_db + "`; " +
                 "delete from r where id in (9500, 11500); update r set v = 'changed' where id = 30500; "
                 "insert into r values (61001, 'extra'); "
                 "delete from o where (a, b) in ((95, 0), (115, 0)); update o set v = 'changed' where (a, b) = (305, 0); "
                 "insert into o values (610, 1, 'extra')");
    TempDir dir;
    const std::string script = dir.file("sync.sql");
    RunResult run = run_sync_job(
        dir, sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                          "<tables all=\"no\"><table><name>`r`</name></table><table><name>`o`</name></table></tables>"
                          "<sync_action type=\"all\"><file>" + script + "</file></sync_action>"));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    for (const char* table : {"`r`", "`o`"})
        EXPECT_TRUE(has_summary(run.out, table, 40000, 39999, 2, 1, 1)) << run.out;
    for (const char* table : {"r", "o"}) expect_same_table(source_db, target_db, table);
    // Every difference lies in a chunk of its own: four chunks per table were read row by row.
    EXPECT_EQ(batches(read_file(script)), 8) << read_file(script);
    const std::string text = read_file(script);
    for (const char* marker : {"Start of batch : 5 ", "Start of batch : 6 ", "Start of batch : 16 ",
                               "Start of batch : 31 "})
        EXPECT_NE(text.find(marker), std::string::npos) << marker;
}

// Two rows whose equal-length values are swapped between them: a digest folded from
// per-row CRC32s with XOR cannot see it. And with a column list that leaves out the key,
// two source rows share one digest: only the row that differs is written, and the
// unlisted column stays as the target had it.
TEST(SyncChunkRuns, SwappedValuesAndRowsOfOneDigestAreRepaired) {
    recreate_database(source_db);
    recreate_database(target_db);
    for (const char* db : {source_db, target_db})
        mariadb_exec(std::string("use `") + db + "`; create table sw (id int primary key, v char(2)); " +
                     "create table cl (id int primary key, v varchar(10), w int)");
    mariadb_exec(std::string("use `") + source_db + "`; insert into sw values (1, 'ab'), (2, 'cd'); " +
                 "insert into cl values (1, 'a', 0), (2, 'a', 0), (3, 'x', 0), (4, 'y', 0)");
    mariadb_exec(std::string("use `") + target_db + "`; insert into sw values (1, 'cb'), (2, 'ad'); " +
                 "insert into cl values (1, 'b', 5), (2, 'a', 5), (3, 'x', 5), (4, 'y', 5)");
    TempDir dir;
    RunResult run = run_sync_job(
        dir, sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                          "<tables all=\"no\"><table><name>`sw`</name></table><table><name>`cl`</name>"
                          "<columns all=\"no\"><column>v</column></columns></table></tables>"));
    EXPECT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "`sw`", 2, 2, 0, 2, 0)) << run.out;
    expect_same_table(source_db, target_db, "sw");
    EXPECT_TRUE(has_summary(run.out, "`cl`", 4, 4, 0, 1, 0)) << run.out;
    EXPECT_EQ(mariadb_value(std::string("select group_concat(id, v, w order by id) from `") + target_db + "`.cl"),
              "1a5,2a5,3x5,4y5");
}

}  // namespace

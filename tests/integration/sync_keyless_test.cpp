// Tables without a usable key are matched row by row on all their values: copies of a row
// count, NULLs match NULLs, blobs and letter case are compared exactly, floating-point
// values find themselves again; a column list and a filter limit what is compared. The
// script of a script-only run sends nothing, replays to equal tables, and a second run
// then finds nothing to do.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

void make_tables() {
    recreate_database("kro_sync_nk_src");
    recreate_database("kro_sync_nk_tgt");
    const std::string create =
        "create table nk (x int, y varchar(20), f float, d double, b blob, t text) character set utf8mb4;"
        "create table nk_part (x int, y varchar(20), z int) character set utf8mb4;";
    // FLOAT values the server shows with fewer digits than they hold.
    const std::string a = "(1, 'a', 1.2345678, 0.1, 0x00, 'text')";
    const std::string n = "(2, NULL, NULL, NULL, NULL, NULL)";
    mariadb_exec("use kro_sync_nk_src;" + create + "insert into nk values " + a + "," + a + "," + a + "," + n +
                 ", (3, 'A', 3.4028e38, 1e-300, '', 'x'), (4, 'b', -0.000123456789, 3.3, 0x01, 'y');"
                 "insert into nk_part values (1, 'p', 100), (2, 'q', 200), (20, 'out', 0);");
    mariadb_exec("use kro_sync_nk_tgt;" + create + "insert into nk values " + a + "," + n + "," + n +
                 ", (3, 'a', 3.4028e38, 1e-300, '', 'x'), (4, 'b', -0.000123456789, 3.3, 0x02, 'y'),"
                 " (9, 'gone', 0, 0, NULL, '');"
                 "insert into nk_part values (1, 'p', 999), (3, 'extra', 5), (30, 'keep', 1);");
}

std::string job(const std::string& action) {
    return sync_job_xml(sync_server_xml("source", "MARIADB", "kro_sync_nk_src"),
                        sync_server_xml("target", "MARIADB", "kro_sync_nk_tgt"),
                        "<tables all=\"no\"><table><name>nk</name></table>"
                        "<table><name>nk_part</name><columns all=\"no\"><column>x</column><column>y</column></columns>"
                        "<sqlwhere>x &lt; 10</sqlwhere></table></tables>" +
                            action);
}

}  // namespace

TEST(SyncKeyless, ScriptOnlyRunReplaysToEqualTablesAndASecondRunFindsNothing) {
    make_tables();
    const std::string nk_before = table_checksum("kro_sync_nk_tgt", "nk");
    const std::string part_before = table_rows("kro_sync_nk_tgt", "nk_part");
    TempDir dir;
    const std::string script = dir.file("keyless.sql");
    RunResult run = run_sync_job(dir, job("<sync_action type=\"script\"><file>" + script + "</file></sync_action>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("Data Sync script generation started at "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Table                      SrcRows  TgtRows  Insert  Update  Delete\n"), std::string::npos)
        << run.out;
    // Two more copies of the row that is there once; the rows that differ in letter case or
    // in a blob byte, the extra NULL row and the row the source lacks go.
    EXPECT_TRUE(has_summary(run.out, "nk", 6, 6, 4, 0, 4)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "nk_part", 3, 3, 1, 0, 1)) << run.out;
    EXPECT_NE(run.out.find("WARNING: table nk does not have a Primary Key"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("The Data Sync script has been generated at : " + script + "\r\n"), std::string::npos)
        << run.out;
    // Nothing reached the target.
    EXPECT_EQ(table_checksum("kro_sync_nk_tgt", "nk"), nk_before);
    EXPECT_EQ(table_rows("kro_sync_nk_tgt", "nk_part"), part_before);

    std::string output;
    ASSERT_EQ(replay_dump(script, "kro_sync_nk_tgt", &output), 0) << output;
    expect_same_table("kro_sync_nk_src", "kro_sync_nk_tgt", "nk");
    // Only the listed columns of the rows the filter selects are synced; the rest stays.
    EXPECT_EQ(client_query("select x, y, z from kro_sync_nk_tgt.nk_part order by x"),
              "1\tp\t999\n2\tq\tNULL\n30\tkeep\t1\n");

    TempDir again;
    RunResult second = run_sync_job(again, job(""));
    ASSERT_EQ(second.exit_code, 0) << second.out;
    EXPECT_TRUE(has_summary(second.out, "nk", 6, 6, 0, 0, 0)) << second.out;
    EXPECT_TRUE(has_summary(second.out, "nk_part", 3, 3, 0, 0, 0)) << second.out;
    expect_same_table("kro_sync_nk_src", "kro_sync_nk_tgt", "nk");
}

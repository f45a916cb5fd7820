// Rows that differ only where a row digest could miss it: a '#' moved from one value to
// the next, and a FLOAT that differs beyond the six digits the server shows.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

TEST(SyncRowDigest, ASeparatorMovedBetweenValuesAndAFloatBeyondSixDigitsAreDifferences) {
    const std::string source_db = "kro_sync_digest_src", target_db = "kro_sync_digest_tgt";
    recreate_database(source_db);
    recreate_database(target_db);
    // One table cut by key ranges (an integer key), one in key order (a text key).
    const std::string tables =
        "create table r (id int primary key, a varchar(10), b varbinary(10), f float);"
        "create table o (k varchar(10) primary key, a text, b varchar(10), f float);";
    mariadb_exec("use `" + source_db + "`;" + tables +
                 "insert into r values (1, 'a#', 'b', 1), (2, 'x', 'y', 1.2345678);"
                 "insert into o values ('k1', '#a#', 'b', 1), ('k2', 'x', '', 1.2345678);");
    mariadb_exec("use `" + target_db + "`;" + tables +
                 "insert into r values (1, 'a', '#b', 1), (2, 'x', 'y', 1.2345679);"
                 "insert into o values ('k1', '#a', '#b', 1), ('k2', 'x', '', 1.2345679);");

    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(sync_server_xml("source", "MARIADB", source_db),
                                                   sync_server_xml("target", "MARIADB", target_db),
                                                   "<tables all=\"yes\"/>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "`o`", 2, 2, 0, 2, 0)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "`r`", 2, 2, 0, 2, 0)) << run.out;
    expect_same_table(source_db, target_db, "o");
    expect_same_table(source_db, target_db, "r");
}

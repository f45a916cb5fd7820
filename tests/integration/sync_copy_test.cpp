// Tables the target lacks or holds empty are created and filled, between two real servers
// in different time zones: every kind of value arrives as it was, the summary and the
// script say what was done, and the script replays to the same tables.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

// A name that would end a comment of the script and run the rest as SQL.
const std::string kOddTable = "odd`name*/ drop database kro_sync_victim; /*";

std::string odd_sql() { return "`" + doubled(kOddTable, '`') + "`"; }

void make_source() {
    recreate_database("kro_sync_src");
    recreate_database("kro_sync_victim");
    mariadb_exec(
        "use kro_sync_src;"
        "set time_zone = '+00:00';"
        "create table " + odd_sql() + " (id int primary key, bin varbinary(20), bl blob, bits bit(10),"
        " dec_v decimal(30,10), txt varchar(50), d date, dt datetime(6), tm time(3), ts timestamp(6) null,"
        " y year, f float, dbl double, e enum('a','b'), s set('x','y'), big longtext, n int null)"
        " character set utf8mb4;"
        "insert into " + odd_sql() + " values"
        " (1, 0x00275c22ff, 0x000102, b'1010101010', 12345678901234567890.0123456789, 'emoji \\U0001F600 ok',"
        "  '1000-01-01', '2024-02-29 23:59:59.999999', '-838:59:59.000', '2038-01-19 03:14:07.5', 1901, 1.2345678,"
        "  0.1, 'b', 'x,y', repeat('long\\'', 5000), NULL),"
        " (2, '', '', b'0', -0.0000000001, '', '9999-12-31', '1000-01-01 00:00:00', '00:00:00.001',"
        "  '1970-01-01 00:00:01', 2155, -3.4e38, 1.7976931348623157e308, 'a', '', '', 0),"
        " (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
        "update " + odd_sql() + " set txt = concat('emoji ', x'F09F9880', ' ok') where id = 1;"
        "create table later (k varchar(10) primary key, v int) character set utf8mb4;"
        "insert into later values ('a', 1), ('b', 2), ('c', NULL);");
}

}  // namespace

TEST(SyncCopy, MissingAndEmptyTablesArriveWholeOnAnotherServerAndTheScriptReplays) {
    make_source();
    recreate_database("kro_sync_tgt", "MARIADB2");
    ASSERT_EQ(client_query("create table kro_sync_tgt.later (k varchar(10) primary key, v int) character set utf8mb4",
                           "MARIADB2"),
              "");
    TempDir dir;
    const std::string script = dir.file("sync.sql");
    RunResult run = run_sync_job(
        dir, sync_job_xml(sync_server_xml("source", "MARIADB", "kro_sync_src"),
                          sync_server_xml("target", "MARIADB2", "kro_sync_tgt"),
                          "<tables all=\"yes\"/><sync_action type=\"all\"><file>" + script + "</file></sync_action>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;

    expect_same_table("kro_sync_src", "kro_sync_tgt", kOddTable, "MARIADB2");
    expect_same_table("kro_sync_src", "kro_sync_tgt", "later", "MARIADB2");
    // TIMESTAMP values keep their instant although the servers' zones differ by three hours.
    EXPECT_EQ(client_query("select unix_timestamp(ts) from kro_sync_tgt." + odd_sql() + " where id = 1", "MARIADB2"),
              "2147483647.500000\n");
    EXPECT_NE(run.out.find(summary_line("`" + doubled(kOddTable, '`') + "`", 3, 0, 3, 0, 0)), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(summary_line("`later`", 3, 0, 3, 0, 0)), std::string::npos) << run.out;

    // The script: readable by its owner only, the name harmless in its comment, and replayed
    // into empty copies of the tables it fills them the same way.
    struct stat info {};
    ASSERT_EQ(stat(script.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string text = read_file(script);
    EXPECT_NE(text.find("/* SYNC TABLE : `odd``name*\\/ drop database kro_sync_victim; /*` */\n"), std::string::npos)
        << text.substr(0, 1200);
    recreate_database("kro_sync_replay");
    mariadb_exec("create table kro_sync_replay." + odd_sql() + " like kro_sync_src." + odd_sql() +
                 "; create table kro_sync_replay.later like kro_sync_src.later");
    std::string output;
    ASSERT_EQ(replay_dump(script, "kro_sync_replay", &output), 0) << output;
    expect_same_table("kro_sync_src", "kro_sync_replay", kOddTable);
    expect_same_table("kro_sync_src", "kro_sync_replay", "later");
    EXPECT_EQ(mariadb_value("select count(*) from information_schema.schemata where schema_name = 'kro_sync_victim'"),
              "1");
}

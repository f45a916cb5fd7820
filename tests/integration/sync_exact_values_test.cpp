// What a sync compares and writes: with a column list only its columns (and the key, which
// every row digest holds), and every value as the column's own bytes in its own character
// set, whatever the connection's: latin1 and cp1251 texts (with and without a key, a byte
// that maps to no character), BIT(8) and BIT(64) and BINARY keys, INVISIBLE columns, a blob
// whose hexadecimal form would not pass the packet limit. A target column that cannot hold
// the source's values, or a key compared by another collation, fails its table before
// anything is written; dates a lax mode stored arrive as they are.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

const char* const source_db = "kro_sync_exact_src";
const char* const target_db = "kro_sync_exact_tgt";

std::string job(const std::string& tables, const std::string& extra = "") {
    return sync_job_xml(sync_server_xml("source", "MARIADB", source_db), sync_server_xml("target", "MARIADB", target_db),
                        "<tables all=\"no\">" + tables + "</tables>" + extra);
}

std::string table(const std::string& name, const std::string& inside = "") {
    return "<table><name>" + name + "</name>" + inside + "</table>";
}

std::string columns(const std::string& a, const std::string& b) {
    return "<columns all=\"no\"><column>" + a + "</column><column>" + b + "</column></columns>";
}

void both(const std::string& sql) {
    mariadb_exec(std::string("use ") + source_db + ";" + sql);
    mariadb_exec(std::string("use ") + target_db + ";" + sql);
}

void expect_has(const std::string& text, const std::string& piece) {
    EXPECT_NE(text.find(piece), std::string::npos) << "missing: " << piece << "\nin:\n" << text;
}

std::string rows_of(const std::string& database, const std::string& sql) {
    return client_query("use " + database + ";" + sql);
}

}  // namespace

TEST(SyncExactValues, AColumnListWritesOnlyItsColumnsAndAColumnTheTableLacksFailsIt) {
    recreate_database(source_db);
    recreate_database(target_db);
    both("create table t (id int primary key, a int, b varchar(20) default 'DEF');"
         "create table miss (id int primary key, a int); insert into miss values (1, 1);"
         "create table st (id int primary key, status varchar(10), note varchar(10));");
    mariadb_exec(std::string("use ") + source_db +
                 "; insert into t values (1, 10, 'src-b'), (2, 20, 'src-b');"
                 "create table fresh (id int primary key, a int, b varchar(20) default 'DEF');"
                 "insert into fresh values (1, 10, 'src-b'), (2, 20, 'src-b'); insert into miss values (2, 2);");
    mariadb_exec(std::string("use ") + target_db + "; insert into t values (1, 11, 'tgt-keep'), (3, 30, 'tgt');");
    // Two rows whose listed values are alike on each side: the key tells their digests apart.
    mariadb_exec(std::string("use ") + source_db + "; insert into st values (1, 'shipped', 's'), (2, 'shipped', 's');");
    mariadb_exec(std::string("use ") + target_db + "; insert into st values (1, 'pending', 't'), (2, 'pending', 't');");
    const std::string listed = columns("id", "a");
    const std::string status_only = "<columns all=\"no\"><column>status</column></columns>";
    TempDir dir;
    RunResult run = run_sync_job(dir, job(table("t", listed) + table("fresh", listed) + table("st", status_only) +
                                          table("miss", columns("a", "nosuch"))));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_TRUE(has_summary(run.out, "t", 2, 2, 1, 1, 1)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "st", 2, 2, 0, 2, 0)) << run.out;
    EXPECT_EQ(rows_of(target_db, "select * from st order by id"), "1\tshipped\tt\n2\tshipped\tt\n");
    // Compared, updated and inserted: the listed columns; the others keep what they hold or
    // take their default, also in a table copied whole.
    EXPECT_EQ(rows_of(target_db, "select * from t order by id"), "1\t10\ttgt-keep\n2\t20\tDEF\n");
    EXPECT_EQ(rows_of(target_db, "select * from fresh order by id"), "1\t10\tDEF\n2\t20\tDEF\n");
    expect_has(run.out, "Column `nosuch` of the column list does not exist in 'miss' table\r\n");
    expect_has(read_file(dir.file("session.xml")), "<error table=\"miss\">Column `nosuch`");
    EXPECT_EQ(rows_of(target_db, "select * from miss"), "1\t1\n");

    TempDir again;
    RunResult second = run_sync_job(again, job(table("t", listed) + table("fresh", listed)));
    EXPECT_EQ(second.exit_code, 0) << second.out;
    EXPECT_TRUE(has_summary(second.out, "t", 2, 2, 0, 0, 0)) << second.out;
    EXPECT_TRUE(has_summary(second.out, "fresh", 2, 2, 0, 0, 0)) << second.out;
}

TEST(SyncExactValues, ValuesKeepTheirOwnBytesForEveryKeyKindAndCharacterSet) {
    recreate_database(source_db);
    recreate_database(target_db);
    both("create table lnk (k varchar(20) character set latin1, v int);"
         "insert into lnk values (_utf8mb4'Zürich', 1), ('plain', 2);"
         "create table mixed (id int primary key, l varchar(20) character set latin1,"
         " c varchar(20) character set cp1251);"
         "create table lkey (k varchar(20) character set latin1 primary key, v int);"
         "create table bitk (k bit(8) primary key, v int);"
         // BIT(64) keys with the high bit set, in two chunks.
         "create table bit64 (k bit(64) primary key, v int);"
         "insert into bit64 select 0x8000000000000000 + seq * 7919, seq from seq_1_to_1200;"
         "create table bink (k binary(16) primary key, v int);"
         "create table inv (id int primary key, a int, h int invisible);"
         "create table blobs (id int primary key, b longblob);");
    mariadb_exec(std::string("use ") + source_db +
                 "; insert into mixed values (1, _latin1 X'DCE9', _cp1251 X'C0FF'), (2, 'a', 'b'), (4, 'a', _cp1251 X'98');"
                 "insert into lkey values (_utf8mb4'Zürich', 1), (_latin1 X'FF', 2);"
                 "insert into bitk values (b'01000000', 1), (b'00000001', 2), (b'11111111', 3);"
                 "update bit64 set v = -v where v in (5, 1199); insert into bit64 values (0xFFFFFFFFFFFFFFFF, 0);"
                 "insert into bink values (X'00', 1), (X'27FF5C00', 2), (X'41', 3);"
                 "insert into inv (id, a, h) values (1, 1, 10), (2, 2, 20);"
                 // 8.8 MB: as X'..' twice that, beyond the test server's 16 MB packets.
                 "insert into blobs select seq, repeat(concat(X'00', 'kro blob ', seq, X'FF27'), 700000) from seq_1_to_2;");
    mariadb_exec(std::string("use ") + target_db +
                 "; insert into mixed values (1, _latin1 X'DC', _cp1251 X'C0'), (3, _latin1 X'E9', 'x'), (4, 'a', '?');"
                 "insert into lkey values (_utf8mb4'Zürich', 9), (_utf8mb4'Ärger', 3);"
                 "insert into bitk values (b'01000000', 9), (b'00000010', 4), (b'11111111', 3);"
                 "delete from bit64 where v = 1100; insert into bit64 values (0xFFFFFFFFFFFFFFF0, 0);"
                 "insert into bink values (X'00', 9), (X'27FF5C01', 4), (X'41', 3);"
                 "insert into inv (id, a, h) values (1, 1, 99), (3, 3, 30);"
                 "insert into blobs values (1, 'small');");
    const std::string tables = table("lnk") + table("mixed") + table("lkey") + table("bitk") + table("bink") +
                               table("inv") + table("bit64") + table("blobs");
    TempDir dir;
    RunResult run = run_sync_job(dir, job(tables));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_TRUE(has_summary(run.out, "lnk", 2, 2, 0, 0, 0)) << run.out;
    // cp1251 0x98 maps to no character: only its byte tells it from '?'.
    EXPECT_TRUE(has_summary(run.out, "mixed", 3, 3, 1, 2, 1)) << run.out;
    for (const char* name : {"lkey", "inv"}) EXPECT_TRUE(has_summary(run.out, name, 2, 2, 1, 1, 1)) << run.out;
    for (const char* name : {"bitk", "bink"}) EXPECT_TRUE(has_summary(run.out, name, 3, 3, 1, 1, 1)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "bit64", 1201, 1200, 2, 2, 1)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "blobs", 2, 1, 1, 1, 0)) << run.out;
    const std::string blob_sums = "select group_concat(id, ' ', length(b), ' ', md5(b) order by id) from blobs";
    EXPECT_EQ(rows_of(target_db, blob_sums), rows_of(source_db, blob_sums));
    for (const char* name : {"lnk", "mixed", "lkey", "bitk", "bink", "inv", "bit64"})
        expect_same_table(source_db, target_db, name);
    EXPECT_EQ(rows_of(target_db, "select hex(l), hex(c) from mixed order by id"), "DCE9\tC0FF\n61\t62\n61\t98\n");

    TempDir again;
    RunResult second = run_sync_job(again, job(tables));
    ASSERT_EQ(second.exit_code, 0) << second.out;
    for (const char* name : {"lnk", "lkey", "inv"}) EXPECT_TRUE(has_summary(second.out, name, 2, 2, 0, 0, 0)) << second.out;
    EXPECT_TRUE(has_summary(second.out, "mixed", 3, 3, 0, 0, 0)) << second.out;
    for (const char* name : {"bitk", "bink"}) EXPECT_TRUE(has_summary(second.out, name, 3, 3, 0, 0, 0)) << second.out;
    EXPECT_TRUE(has_summary(second.out, "bit64", 1201, 1201, 0, 0, 0)) << second.out;
}

TEST(SyncExactValues, ATargetThatCannotHoldTheValuesFailsItsTableAndLaxDatesArriveAsTheyAre) {
    recreate_database(source_db);
    recreate_database(target_db);
    mariadb_exec(std::string("use ") + source_db +
                 "; create table cs (id int primary key, t varchar(10) character set utf8mb4);"
                 "insert into cs values (1, _utf8mb4'😀中');"
                 "create table nn (id int primary key, v varchar(10) null); insert into nn values (1, null);"
                 "create table ck (k varchar(10) collate utf8mb4_bin primary key, v int);"
                 "insert into ck values ('e', 1), (_utf8mb4'é', 2);"
                 "create table ck3 (k varchar(10) character set utf8mb3 collate utf8mb3_general_ci primary key, v int);"
                 "insert into ck3 values ('a', 1);"
                 "set sql_mode = 'ALLOW_INVALID_DATES';"
                 "create table d (id int primary key, d date, dt datetime);"
                 "insert into d values (1, '0000-00-00', '0000-00-00 00:00:00'), (2, '2010-00-01', '2010-01-00 10:00:00'),"
                 " (3, '2010-02-31', '2011-00-00 00:00:01');");
    mariadb_exec(std::string("use ") + target_db +
                 "; create table cs (id int primary key, t varchar(10) character set latin1); insert into cs values (2, 'x');"
                 "create table nn (id int primary key, v varchar(10) not null); insert into nn values (2, 'y');"
                 // A key that would take 'e' and 'é' for one; utf8mb4 agrees with utf8mb3.
                 "create table ck (k varchar(10) collate utf8mb4_general_ci primary key, v int); insert into ck values ('e', 1);"
                 "create table ck3 (k varchar(10) collate utf8mb4_general_ci primary key, v int);"
                 "create table d (id int primary key, d date, dt datetime); insert into d values (1, '2020-01-01', null);");
    TempDir dir;
    RunResult run = run_sync_job(dir, job(table("cs") + table("nn") + table("ck") + table("ck3") + table("d")));
    EXPECT_EQ(run.exit_code, 1) << run.out;
    expect_has(run.out, "Character set mismatch for 't' column in 'cs' table");
    expect_has(run.out, "NULL mismatch for 'v' column in 'nn' table");
    expect_has(run.out, "Collation mismatch for 'k' key column in 'ck' table: the source compares its values by "
                        "utf8mb4_bin, the target by utf8mb4_general_ci");
    const std::string session = read_file(dir.file("session.xml"));
    expect_has(session, "<error table=\"cs\">");
    expect_has(session, "<error table=\"nn\">");
    expect_has(session, "<error table=\"ck\">");
    EXPECT_EQ(rows_of(target_db, "select k, v from ck"), "e\t1\n");
    EXPECT_TRUE(has_summary(run.out, "ck3", 1, 0, 1, 0, 0)) << run.out;
    EXPECT_EQ(rows_of(target_db, "select * from cs"), "2\tx\n");
    EXPECT_EQ(rows_of(target_db, "select * from nn"), "2\ty\n");
    EXPECT_TRUE(has_summary(run.out, "d", 3, 1, 2, 1, 0)) << run.out;
    expect_same_table(source_db, target_db, "d");
}

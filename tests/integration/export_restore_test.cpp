// A dump that exits 0 restores what was there: hostile names, stored programs with their
// own modes, a schema with forward and cyclic foreign keys, invisible columns, a sequence
// and timestamps read and replayed in other time zones, rows deleted while a chunked dump runs,
// a full disk, files of one run that would share a name, and rows too big for the packet.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

std::string name_sql(const std::string& name) { return "`" + doubled(name, '`') + "`"; }
std::string text_sql(const std::string& text) { return "'" + doubled(doubled(text, '\\'), '\'') + "'"; }

std::string database_job(const std::string& database, const std::string& script, const char* options,
                         const std::string& objects = "<objects all=\"yes\"/>") {
    return export_job_xml("<databases><database name=\"" + xml_escaped(database) + "\">" + objects +
                              "</database></databases>" + script,
                          options);
}

// Every row of an information_schema table for one schema, without the columns that name
// the schema or tell when the object was made.
std::string schema_rows(const std::string& table, const std::string& schema_column, const std::string& schema,
                        const std::string& skipped) {
    std::string columns = mariadb_value(
        "select group_concat(column_name order by ordinal_position) from information_schema.columns "
        "where table_schema = 'information_schema' and table_name = '" + table + "' and column_name not in (" +
        skipped + ")");
    return client_query("select " + columns + " from information_schema." + table + " where " + schema_column +
                        " = " + text_sql(schema) + " order by 1, 2");
}

std::size_t count_of(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// ---------------------------------------------------------------------------------------

// Names holding the marks of SQL comments, line breaks and quotes go into the dump's
// comments harmlessly and into its statements as they are: the dump replays, runs nothing
// else, and every object comes back under its real name. (The mariadb client reads a CR
// right before a LF as part of the line end, so a name holding CR LF cannot come back
// through it; a lone CR does.)
TEST(ExportRestore, HostileNamesReplayToThemselvesAndRunNothingElse) {
    const std::string db = "kro_exp_h*/ drop database kro_exp_victim /*`'\n--";
    const std::string table = "x*/ DROP DATABASE kro_exp_victim; /*";
    const std::string column = "c*/ drop database kro_exp_victim; /*";
    const std::string view = "v*/ drop database kro_exp_victim; -- \nx";
    mariadb_exec("drop database if exists kro_exp_victim; create database kro_exp_victim;"
                 "create table kro_exp_victim.canary (i int); insert into kro_exp_victim.canary values (7);"
                 "drop database if exists " + name_sql(db) + "; create database " + name_sql(db) + ";"
                 "use " + name_sql(db) + ";"
                 "create table " + name_sql(table) + " (" + name_sql(column) + " int primary key, `d\n-- x` varchar(60));"
                 "insert into " + name_sql(table) + " values (1, '*/ drop database kro_exp_victim; /*'), (2, '--\n#');"
                 "create view " + name_sql(view) + " as select * from " + name_sql(table) + ";"
                 "create procedure `p``*/ drop database kro_exp_victim; /*`() select 1;"
                 "create function `f'*/\ndrop database kro_exp_victim;#`() returns int deterministic return 1;"
                 "create event `e/*--*/ drop database kro_exp_victim; /*` on schedule every 1 day disable do "
                 "delete from " + name_sql(table) + " where 1 = 0;"
                 "create trigger `t*/\rdrop database kro_exp_victim;\n--` before insert on " + name_sql(table) +
                 " for each row set new.`d\n-- x` = 'from trigger'");
    TempDir dir;
    const std::string dump = dir.file("hostile.sql");
    RunResult run = run_export_job(
        dir, database_job(db, "<script>" + dump + "</script>",
                          "<bulkinsert>yes</bulkinsert><completeinsert>yes</completeinsert><createdb>yes</createdb>"
                          "<usedb>yes</usedb><dropobjects>yes</dropobjects><disablekeys>yes</disablekeys>"
                          "<locktablewrite>yes</locktablewrite>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;

    const std::string in_db = text_sql(db);
    const std::string names =
        "select concat_ws('|', (select group_concat(table_name order by table_name) from information_schema.tables "
        "where table_schema = " + in_db + "), (select group_concat(routine_name order by routine_name) from "
        "information_schema.routines where routine_schema = " + in_db + "), (select group_concat(event_name) from "
        "information_schema.events where event_schema = " + in_db + "), (select group_concat(trigger_name) from "
        "information_schema.triggers where trigger_schema = " + in_db + "))";
    const std::string expected_names = mariadb_value(names);
    const std::string expected_rows = table_rows(db, table);
    const std::string expected_checksum = table_checksum(db, table);
    mariadb_exec("drop database " + name_sql(db));

    std::string output;
    ASSERT_EQ(replay_dump(dump, "", &output), 0) << output;
    EXPECT_EQ(mariadb_value("select sum(i) from kro_exp_victim.canary"), "7") << "the victim survived";
    EXPECT_EQ(mariadb_value(names), expected_names);
    EXPECT_EQ(table_rows(db, table), expected_rows);
    EXPECT_EQ(table_checksum(db, table), expected_checksum);
    EXPECT_EQ(table_rows(db, view), expected_rows);
    mariadb_exec("insert into " + name_sql(db) + "." + name_sql(table) + " (" + name_sql(column) + ") values (3)");
    EXPECT_EQ(mariadb_value("select `d\n-- x` from " + name_sql(db) + "." + name_sql(table) + " where " +
                            name_sql(column) + " = 3"),
              "from trigger");
    mariadb_exec("drop database " + name_sql(db) + "; drop database kro_exp_victim");
}

// Procedures, functions, triggers and events come back under the SQL mode and character
// settings they were created with. The replay needs no global privilege: a user who may do
// everything in the target database, and nothing else, replays it.
TEST(ExportRestore, StoredProgramsKeepTheirModesAndReplayWithoutGlobalPrivileges) {
    const std::string db = "kro_exp_prog";
    const std::string copy = "kro_exp_prog_copy";
    recreate_database(db);
    recreate_database(copy);
    mariadb_exec("drop user if exists kro_exp_restorer; create user kro_exp_restorer identified by 'Restorer_pw1';"
                 "grant all on `" + copy + "`.* to kro_exp_restorer;"
                 "use " + db + "; create table t (id int primary key, v varchar(10), d date);"
                 "set sql_mode = 'STRICT_TRANS_TABLES';"
                 "create definer = kro_exp_restorer procedure strict_proc() insert into t values (1, 'x', '2024-01-01');"
                 "set sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES';"
                 "create definer = kro_exp_restorer function raw_text() returns varchar(20) deterministic return 'a\\b';"
                 "set names latin1; set sql_mode = 'NO_ZERO_DATE';"
                 "create definer = kro_exp_restorer trigger trg before insert on t for each row set new.v = upper(new.v);"
                 "set names utf8mb4; set time_zone = '+05:00'; set sql_mode = 'ONLY_FULL_GROUP_BY';"
                 "create definer = kro_exp_restorer event ev on schedule every 1 hour starts '2030-01-01 00:00:00' "
                 "disable do delete from t where id < 0");
    TempDir dir;
    const std::string dump = dir.file("programs.sql");
    RunResult run = run_export_job(dir, database_job(db, "<script>" + dump + "</script>", "<bulkinsert>yes</bulkinsert>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string text = read_file(dump);
    EXPECT_EQ(text.find("set global"), std::string::npos);
    EXPECT_NE(text.find("/* The event scheduler of the source server was OFF; this dump does not change it. */"),
              std::string::npos);

    std::string output;
    ASSERT_EQ(replay_dump(dump, copy, &output, "--user=kro_exp_restorer --password=Restorer_pw1"), 0) << output;
    EXPECT_EQ(schema_rows("ROUTINES", "ROUTINE_SCHEMA", copy, "'ROUTINE_SCHEMA','CREATED','LAST_ALTERED'"),
              schema_rows("ROUTINES", "ROUTINE_SCHEMA", db, "'ROUTINE_SCHEMA','CREATED','LAST_ALTERED'"));
    EXPECT_EQ(schema_rows("TRIGGERS", "TRIGGER_SCHEMA", copy, "'TRIGGER_SCHEMA','EVENT_OBJECT_SCHEMA','CREATED'"),
              schema_rows("TRIGGERS", "TRIGGER_SCHEMA", db, "'TRIGGER_SCHEMA','EVENT_OBJECT_SCHEMA','CREATED'"));
    const std::string event_skips = "'EVENT_SCHEMA','CREATED','LAST_ALTERED','LAST_EXECUTED'";
    EXPECT_EQ(schema_rows("EVENTS", "EVENT_SCHEMA", copy, event_skips), schema_rows("EVENTS", "EVENT_SCHEMA", db, event_skips));
    EXPECT_NE(schema_rows("EVENTS", "EVENT_SCHEMA", copy, event_skips).find("+05:00"), std::string::npos);
    // And they behave as they did: the backslash is a character, the procedure strict.
    EXPECT_EQ(mariadb_value("select length(" + copy + ".raw_text())"), "3");
    mariadb_exec("drop user kro_exp_restorer; drop database " + db + "; drop database " + copy);
}

// The schema a backup job meets: foreign keys that point forward and in a cycle, a table
// with INVISIBLE columns, a sequence that a table's default draws on, tables paged along
// composite, binary, unique and timestamp keys or by offset, and timestamps. The dump is
// made while the server's time zone is another one and replayed in a third; the database
// dropped and restored from it holds the same rows.
class ExportSchemaRestore : public ::testing::TestWithParam<bool> {};

TEST_P(ExportSchemaRestore, SchemaRestoresExactlyFromAChunkedDump) {
    const bool http = GetParam();
    const std::string db = http ? "kro_exp_schema_http" : "kro_exp_schema";
    recreate_database(db);
    mariadb_exec(
        "use " + db + "; set time_zone = '+00:00';"
        "create table c_people (id int primary key, name varchar(20), best_order int null);"
        "create table b_orders (id int primary key, customer int not null, foreign key (customer) references c_people (id));"
        "alter table c_people add foreign key (best_order) references b_orders (id);"
        "create table a_lines (id int primary key, order_id int not null, foreign key (order_id) references b_orders (id));"
        "insert into c_people values (1, 'ann', null), (2, 'bob', null);"
        "insert into b_orders values (10, 1), (11, 2), (12, 1);"
        "update c_people set best_order = 10 + id;"
        "insert into a_lines values (100, 10), (101, 12), (102, 11);"
        "create table d_hidden (id int primary key, shown varchar(10), secret varchar(10) invisible default 'none');"
        "insert into d_hidden (id, shown, secret) values (1, 'a', 'kept'), (2, 'b', NULL), (3, 'c', 'also kept');"
        "create sequence z_seq start with 100 increment by 10;"
        "create table a_numbered (id bigint not null default nextval(z_seq) primary key, note varchar(10));"
        "insert into a_numbered (note) values ('one'), ('two'), ('three');"
        "create table e_pairs (k varchar(10) not null, n int not null, payload varchar(20), primary key (k, n));"
        "insert into e_pairs select char(97 + seq % 5), seq, concat('p', seq) from seq_1_to_60;"
        "create table f_bytes (k varbinary(8) primary key, v int);"
        "insert into f_bytes select unhex(lpad(hex(seq * 9973), 8, '0')), seq from seq_1_to_40;"
        "insert into f_bytes values (unhex('00'), -1), (unhex('27'), -2), (unhex('FFFF'), -3), ('', -4);"
        "create table g_float (f double primary key, u int not null unique, note varchar(10));"
        "insert into g_float select seq / 3, 100 - seq, 'n' from seq_1_to_30;"
        "create table h_nokey (a int, b varchar(5));"
        "insert into h_nokey select seq % 4, 'x' from seq_1_to_25;"
        "create table j_times (id int primary key, ts timestamp(6) null default null, dt datetime);"
        "insert into j_times values (1, '1970-01-01 00:00:01', '1970-01-01 00:00:01'),"
        " (2, '2024-01-02 03:04:05.123456', '2024-01-02 03:04:05'), (3, '2038-01-19 03:14:07', NULL), (4, NULL, NULL);"
        "create table k_stamped (ts timestamp not null primary key, v int);"
        "insert into k_stamped select from_unixtime(seq * 86399), seq from seq_1_to_30;");
    const std::vector<std::string> tables = {"a_lines", "a_numbered", "b_orders", "c_people", "d_hidden", "e_pairs",
                                             "f_bytes", "g_float", "h_nokey", "j_times", "k_stamped"};
    // The rows are read and compared in this time zone, the dump made in it; it replays in
    // another.
    GlobalSetting zone("time_zone", "'+03:00'");
    TempDir dir;
    const std::string dump = dir.file("schema.sql");
    std::string xml = database_job(db, "<script>" + dump + "</script>",
                                   "<bulkinsert>yes</bulkinsert><createdb>yes</createdb><usedb>yes</usedb>"
                                   "<fkchecks>yes</fkchecks><dropobjects>yes</dropobjects>"
                                   "<chunkinsert>yes</chunkinsert><chunklimit>7</chunklimit>");
    if (http)
        xml.replace(xml.find("</source>"), 0,
                    "<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") + "</url></tunnelinfo>");
    RunResult run = run_export_job(dir, xml);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    // The HTTP tunnel writes no placeholders: nothing here needs one.
    std::vector<std::string> rows, checksums;
    for (const std::string& table : tables) {
        rows.push_back(table_rows(db, table));
        checksums.push_back(table_checksum(db, table));
    }
    const std::string next_value = mariadb_value("select next_not_cached_value from " + db + ".z_seq");
    const std::string stamps = client_query("select id, unix_timestamp(ts) from " + db + ".j_times order by id");
    mariadb_exec("drop database " + db);

    std::string output;
    ASSERT_EQ(replay_dump(dump, "", &output, shell_quote("--init-command=SET time_zone='-07:00'")), 0) << output;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        EXPECT_EQ(table_rows(db, tables[i]), rows[i]) << tables[i];
        EXPECT_EQ(table_checksum(db, tables[i]), checksums[i]) << tables[i];
    }
    EXPECT_EQ(client_query("select id, unix_timestamp(ts) from " + db + ".j_times order by id"), stamps);
    EXPECT_NE(stamps.find("1\t1.000000\n"), std::string::npos) << stamps;
    EXPECT_EQ(mariadb_value("select next_not_cached_value from " + db + ".z_seq"), next_value);
    EXPECT_EQ(mariadb_value("select secret from " + db + ".d_hidden where id = 1"), "kept");
    mariadb_exec("insert into " + db + ".a_numbered (note) values ('four')");
    EXPECT_EQ(mariadb_value("select max(id) from " + db + ".a_numbered"), next_value);
    mariadb_exec("drop database " + db);
}

INSTANTIATE_TEST_SUITE_P(Connections, ExportSchemaRestore, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "http" : "direct"; });

// Rows deleted by others while a chunked dump runs take no other row with them: the rows
// come as one stream, never by an offset that the deletions shift.
TEST(ExportRestore, RowsDeletedWhileTheDumpPagesTakeNoOtherRowWithThem) {
    const std::string db = "kro_exp_shrinking";
    const std::string copy = "kro_exp_shrinking_copy";
    recreate_database(db);
    mariadb_exec("use " + db + "; create table t (id int primary key, v varchar(30));"
                 "insert into t select seq, concat('row ', seq) from seq_1_to_30000;"
                 "create table stop_flag (x int);"
                 "create procedure nibble() begin declare i int default 1;"
                 " while i < 30000 and not exists (select 1 from stop_flag) do"
                 "  delete from t where id = i; set i = i + 2; do sleep(0.001); end while; end");
    std::thread deleter([&] { mariadb_exec("call " + db + ".nibble()"); });
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, database_job(db, "<script>" + dump + "</script>",
                                                     "<bulkinsert>yes</bulkinsert><chunkinsert>yes</chunkinsert>"
                                                     "<chunklimit>100</chunklimit>",
                                                     "<objects><tables><table>t</table></tables></objects>"));
    mariadb_exec("insert into " + db + ".stop_flag values (1)");
    deleter.join();
    ASSERT_EQ(run.exit_code, 0) << run.out;
    recreate_database(copy);
    std::string output;
    ASSERT_EQ(replay_dump(dump, copy, &output), 0) << output;
    // Every row still there was dumped; even ids were never deleted.
    EXPECT_EQ(mariadb_value("select count(*) from " + db + ".t s left join " + copy + ".t c using (id) where c.id is null"),
              "0");
    EXPECT_EQ(mariadb_value("select count(*) from " + copy + ".t where id % 2 = 0"), "15000");
    mariadb_exec("drop database " + db + "; drop database " + copy);
}

// A keyless table read in chunks over a direct connection comes as one stream: the dump is
// byte for byte the unchunked one (same rows, same INSERT grouping), and kro's memory stays
// far below the table's size either way.
TEST(ExportRestore, KeylessTableInChunksGivesTheUnchunkedDumpInFlatMemory) {
    const std::string db = "kro_exp_keyless";
    recreate_database(db);
    mariadb_exec("use " + db + "; create table t (a int, b varchar(250), c text);"
                 "insert into t select seq % 1000, if(seq % 97 = 0, null, repeat(char(65 + seq % 26), 200)),"
                 " concat('it''s row ', seq % 5000) from seq_1_to_200000");
    TempDir dir;
    // Both dumps are made before either is read: a child started from this process counts
    // what this process holds in its peak size until it runs kro.
    for (const auto& [name, chunking] : {std::pair{"whole.sql", ""},
                                         std::pair{"chunked.sql", "<chunkinsert>yes</chunkinsert><chunklimit>1000</chunklimit>"}}) {
        const std::string options = std::string("<bulkinsert>yes</bulkinsert><bulksize>64</bulksize>") + chunking;
        RunResult run = run_export_job(dir, database_job(db, "<script>" + dir.file(name) + "</script>", options.c_str()));
        EXPECT_EQ(run.exit_code, 0) << run.out;
        EXPECT_LT(run.peak_kb, 32L << 10) << name << " kB";
    }
    std::string whole = read_file(dir.file("whole.sql")), chunked = read_file(dir.file("chunked.sql"));
    EXPECT_GT(whole.size(), 40u << 20);
    for (std::string* text : {&whole, &chunked}) text->resize(std::min(text->size(), text->find("\n-- Dump completed on ")));
    EXPECT_TRUE(whole == chunked) << "the chunked dump differs from the unchunked one";
    mariadb_exec("drop database " + db);
}

// A dump cut off by a full disk (here a file-size limit) leaves no file that looks
// complete: the complete dump of that name from before stays as it was, the cut-off one is
// kept as ".incomplete" without the completion line. The error is told once, and no table
// it cut off is told to be exported.
TEST(ExportRestore, DumpCutOffByAFullDiskNeverTakesTheNameOfACompleteOne) {
    const std::string db = "kro_exp_full";
    recreate_database(db);
    mariadb_exec("use " + db + "; create table a_small (id int primary key); insert into a_small values (1);"
                 "create table b_big (id int primary key, v varchar(200));"
                 "insert into b_big select seq, repeat('v', 200) from seq_1_to_5000");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    const std::string xml = database_job(db, "<script>" + dump + "</script>", "<bulkinsert>yes</bulkinsert>");
    ASSERT_EQ(run_export_job(dir, xml).exit_code, 0);
    const std::string complete = read_file(dump);
    ASSERT_NE(complete.find("\n-- Dump completed on "), std::string::npos);
    ASSERT_GT(complete.size(), 200000u);

    write_file(dir.file("job.xml"), xml);
    RunResult run = run_program("/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 200; exec " KRO_BINARY " job.xml"}, dir.path());
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_EQ(count_of(run.out, "Error writing in file."), 1u) << run.out;
    EXPECT_NE(run.out.find("File too large"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Exporting table b_big...Export successful..."), std::string::npos) << run.out;
    EXPECT_EQ(read_file(dump), complete);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files.push_back(entry.path().filename());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"d.sql", "d.sql.incomplete", "job.xml", "kro.log", "krosession.xml"}));
    const std::string cut = read_file(dump + ".incomplete");
    EXPECT_GT(cut.size(), 50000u);
    EXPECT_EQ(cut.find("-- Dump completed"), std::string::npos);
    EXPECT_NE(read_file(dir.file("krosession.xml")).find("<error>Error writing in file."), std::string::npos);
    mariadb_exec("drop database " + db);
}

// A file per object: objects whose files would share a name (one table name in two
// databases, a table and a procedure of one name, "a/b" beside "a@002fb") each get a file
// of their own, and the console and the log say where they went. Dump files are readable
// by their owner only, whatever the umask.
TEST(ExportRestore, FilesOfOneRunNeverOverwriteEachOtherAndAreTheOwnersOnly) {
    mariadb_exec("drop database if exists kro_exp_f1; drop database if exists kro_exp_f2;"
                 "create database kro_exp_f1; create database kro_exp_f2;"
                 "create table kro_exp_f1.t (first_db int); create table kro_exp_f2.t (second_db int);"
                 "create table kro_exp_f1.audit (a int); create procedure kro_exp_f1.audit() select 1;"
                 "create table kro_exp_f1.`a/b` (slash int); create table kro_exp_f1.`a@002fb` (encoded int)");
    TempDir dir;
    const std::string out = dir.path() + "/dumps";
    std::filesystem::create_directory(out);
    mode_t old_umask = umask(0);
    RunResult run = run_export_job(dir, database_job("kro_exp_f1;kro_exp_f2", "<script fileordir=\"dir\">" + out + "</script>", ""));
    umask(old_umask);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
        files.push_back(entry.path().filename());
        EXPECT_EQ(entry.status().permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << entry.path();
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"tbl_a@002fb.sql", "tbl_a@002fb_2.sql", "tbl_audit.sql",
                                               "tbl_audit_2.sql", "tbl_t.sql", "tbl_t_2.sql"}));
    EXPECT_NE(read_file(out + "/tbl_t.sql").find("first_db"), std::string::npos);
    EXPECT_NE(read_file(out + "/tbl_t_2.sql").find("second_db"), std::string::npos);
    EXPECT_NE(read_file(out + "/tbl_a@002fb.sql").find("slash"), std::string::npos);
    EXPECT_NE(read_file(out + "/tbl_a@002fb_2.sql").find("encoded"), std::string::npos);
    EXPECT_NE(read_file(out + "/tbl_audit_2.sql").find("PROCEDURE `audit`"), std::string::npos);
    const std::string notice = out + "/tbl_t.sql was written earlier in this run: kro_exp_f2.t goes to " + out +
                               "/tbl_t_2.sql instead.";
    EXPECT_NE(run.out.find(notice), std::string::npos) << run.out;
    EXPECT_NE(read_file(dir.file("kro.log")).find(notice), std::string::npos);
    EXPECT_EQ(count_of(run.out, "was written earlier in this run"), 3u) << run.out;
    mariadb_exec("drop database kro_exp_f1; drop database kro_exp_f2");
}

// A row whose INSERT, escaped, is bigger than the server's max_allowed_packet replays only
// with a bigger packet: the export says so, naming the table and the size.
TEST(ExportRestore, RowTooBigForTheServersPacketIsWarnedAbout) {
    const std::string db = "kro_exp_packet";
    recreate_database(db);
    mariadb_exec("use " + db + "; create table wide (id int primary key, v longtext);"
                 "insert into wide values (1, repeat('''', 700000)), (2, 'small')");
    TempDir dir;
    RunResult run;
    {
        GlobalSetting packet("max_allowed_packet", "1048576");
        run = run_export_job(dir, database_job(db, "<script>" + dir.file("d.sql") + "</script>",
                                               "<bulkinsert>yes</bulkinsert>"));
    }
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("Exporting table wide...Export successful...\n\nWarning: a row of table `" + db +
                           "`.`wide` needs an INSERT statement of 1400"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("more than the server's max_allowed_packet of 1048576 bytes"), std::string::npos);
    EXPECT_NE(read_file(dir.file("kro.log")).find("Warning: a row of table"), std::string::npos);
    mariadb_exec("drop database " + db);
}

}  // namespace

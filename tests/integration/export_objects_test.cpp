// Views, routines, events and triggers in dumps that replay; the output forms and file
// names; and how failures while dumping are reported.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

const char kDb[] = "kro_exp_obj";
const char kCopy[] = "kro_exp_obj_copy";

void create_objects() {
    recreate_database(kDb);
    mariadb_exec(std::string("use ") + kDb + ";"
        "create table items (id int primary key, name varchar(20), price decimal(8,2));"
        "insert into items values (1, 'a', 1.5), (2, 'b', 2.5), (3, 'c', 3.5);"
        "create table log_rows (id int auto_increment primary key, item int, who varchar(10));"
        "create view z_view as select id, name, price from items where price > 2;"
        "create view a_view as select id, name from z_view;"
        "create procedure add_item(in n varchar(20)) begin"
        "  insert into items (id, name, price) select max(id) + 1, n, 0 from items; end;"
        "create function twice(x int) returns int deterministic return x * 2;"
        "create event ev_a on schedule every 1 day disable do delete from log_rows where id < 0;"
        "create event ev_b on schedule every 1 hour disable do delete from log_rows where id < 0;"
        "create trigger trg_user after insert on items for each row insert into log_rows (item, who) values (new.id, 'user');"
        "drop role if exists kro_exp_role; create role kro_exp_role;"
        "create definer = kro_exp_role trigger trg_role before update on items for each row set new.name = upper(new.name);");
}

std::string objects_job(const std::string& script, const char* options, const std::string& extra = "") {
    return export_job_xml(std::string("<databases><database name=\"") + kDb +
                              "\"><objects all=\"yes\"/></database></databases>" + script,
                          options, extra);
}

std::size_t count_of(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ExportObjectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { create_objects(); }
};

TEST_F(ExportObjectsTest, ObjectsAreWrittenInTheirBlocksAndReplayTwiceWithDrops) {
    TempDir dir;
    const std::string dump = dir.file("objects.sql");
    RunResult run = run_export_job(dir, objects_job("<script>" + dump + "</script>",
                                                    "<bulkinsert>yes</bulkinsert><dropobjects>yes</dropobjects>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    for (const char* line : {"Exporting view a_view...", "Exporting procedure add_item...", "Exporting function twice...",
                             "Exporting event ev_a...", "Exporting trigger trg_user..."})
        EXPECT_NE(run.out.find(line), std::string::npos) << line;

    std::string text = read_file(dump);
    // Stand-ins for both views before any view definition.
    std::size_t placeholder = text.find("\n/*!50001 CREATE VIEW `a_view` AS SELECT\n 1 AS `id`,\n 1 AS `name` LIMIT 0 */;\n");
    std::size_t definition = text.find("\n/*View structure for view a_view */\n");
    ASSERT_NE(placeholder, std::string::npos);
    ASSERT_NE(definition, std::string::npos);
    EXPECT_LT(text.find("\n/*!50001 CREATE VIEW `z_view` AS SELECT"), definition);
    EXPECT_LT(placeholder, definition);
    // The source's event scheduler is told once, before the first event, and not set.
    const std::string scheduler = "/* The event scheduler of the source server was OFF; this dump does not change it. */";
    EXPECT_EQ(count_of(text, scheduler), 1u);
    EXPECT_LT(text.find(scheduler), text.find("/* Event structure for event `ev_a` */"));
    EXPECT_EQ(text.find("event_scheduler ="), std::string::npos);
    EXPECT_NE(text.find("/*!50106 DROP EVENT IF EXISTS `ev_b`*/;"), std::string::npos);
    // Definer clause from "user@host"; none for a definer without "@".
    EXPECT_NE(text.find("/*!50003 CREATE */ /*!50017 DEFINER = 'kro'@'%' */ /*!50003 TRIGGER `trg_user` AFTER INSERT ON `items`"),
              std::string::npos);
    // A role as definer has no host part.
    EXPECT_NE(text.find("/*!50003 CREATE */ /*!50017 DEFINER = 'kro_exp_role' */ /*!50003 TRIGGER `trg_role` BEFORE UPDATE ON `items`"),
              std::string::npos);
    // The procedure's own SQL mode around it.
    std::size_t drop = text.find("\n/*!50003 DROP PROCEDURE IF EXISTS  `add_item` */;\n");
    std::size_t modes = text.find("/*!50003 SET character_set_client='utf8mb4', character_set_results='utf8mb4', "
                                  "collation_connection='utf8mb4_general_ci', sql_mode='", drop);
    std::size_t create = text.find("\nDELIMITER $$\n\n/*!50003 CREATE DEFINER=`kro`@`%` PROCEDURE `add_item`", drop);
    std::size_t restore = text.find("\nDELIMITER ;\n\n/*!50003 SET character_set_client=@saved_cs_client, ", create);
    EXPECT_LT(restore, text.find(", sql_mode=@saved_sql_mode */;\n", create));
    ASSERT_NE(drop, std::string::npos);
    EXPECT_LT(drop, modes);
    EXPECT_LT(modes, create);
    EXPECT_NE(create, std::string::npos);
    EXPECT_NE(restore, std::string::npos);
    EXPECT_NE(text.find("\n/* Function  structure for function  `twice` */\n"), std::string::npos);

    recreate_database(kCopy);
    std::string output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << "second replay: " << output;
    EXPECT_EQ(table_rows(kCopy, "a_view"), table_rows(kDb, "a_view"));
    EXPECT_EQ(table_rows(kCopy, "items"), table_rows(kDb, "items"));
    EXPECT_EQ(client_query(std::string("select `") + kCopy + "`.twice(21)"), "42\n");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from information_schema.triggers where trigger_schema = '") + kCopy + "'"), "2");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from information_schema.events where event_schema = '") + kCopy + "'"), "2");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from information_schema.routines where routine_schema = '") + kCopy + "'"), "2");
    // The replayed trigger works.
    mariadb_exec(std::string("call `") + kCopy + "`.add_item('new')");
    EXPECT_EQ(mariadb_value(std::string("select who from `") + kCopy + "`.log_rows where item = 4"), "user");
}

TEST_F(ExportObjectsTest, PerObjectFilesAreNamedWithAndWithoutTimestamp) {
    TempDir dir;
    RunResult run = run_export_job(dir, objects_job("<script fileordir=\"dir\">" + dir.path() + "/</script>", ""));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::vector<std::string> expected = {"job.xml", "kro.log", "krosession.xml", "tbl_a_view.sql", "tbl_add_item.sql",
                                         "tbl_ev_a.sql", "tbl_ev_b.sql", "tbl_items.sql", "tbl_log_rows.sql",
                                         "tbl_trg_role.sql", "tbl_trg_user.sql", "tbl_twice.sql", "tbl_z_view.sql"};
    EXPECT_EQ(files_in(dir.path()), expected);
    std::string items = read_file(dir.file("tbl_items.sql"));
    EXPECT_EQ(items.rfind("/*\n", 0), 0u);
    EXPECT_NE(items.find("MySQL - "), std::string::npos);
    EXPECT_NE(items.find("/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;\n"), std::string::npos);

    TempDir stamped;
    run = run_export_job(stamped, objects_job("<script fileordir=\"dir\" timestamp=\"yes\">" + stamped.path() + "</script>", ""));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::regex pattern(R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2}_tbl_items\.sql)");
    bool found = false;
    for (const std::string& name : files_in(stamped.path())) found = found || std::regex_match(name, pattern);
    EXPECT_TRUE(found);
}

TEST_F(ExportObjectsTest, AllDatabasesGoToOneFilePerDatabaseWithoutSystemSchemas) {
    TempDir dir;
    RunResult run = run_export_job(
        dir, export_job_xml("<databases all=\"yes\"/><script fileordir=\"dir\" timestampdir=\"yes\">" + dir.path() + "</script>",
                            "<bulkinsert>yes</bulkinsert>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find(std::string("Exporting Database ") + kDb + "..."), std::string::npos);
    std::vector<std::string> top = files_in(dir.path());
    std::string sub;
    for (const std::string& name : top)
        if (std::regex_match(name, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}-\d{2}-\d{2})"))) sub = dir.path() + "/" + name;
    ASSERT_FALSE(sub.empty());
    std::vector<std::string> files = files_in(sub);
    EXPECT_NE(std::find(files.begin(), files.end(), std::string("db_") + kDb + ".sql"), files.end());
    for (const char* skipped : {"db_mysql.sql", "db_information_schema.sql", "db_performance_schema.sql"})
        EXPECT_EQ(std::find(files.begin(), files.end(), std::string(skipped)), files.end()) << skipped;
    std::string text = read_file(sub + "/db_" + kDb + ".sql");
    EXPECT_NE(text.find(std::string("\n/*Database structure for database `") + kDb + "` */\n"), std::string::npos);
    EXPECT_NE(text.find("/*!50003 CREATE */"), std::string::npos);
}

TEST_F(ExportObjectsTest, AllDatabasesSingleFileReplays) {
    TempDir dir;
    const std::string dump = dir.file("all.sql");
    RunResult run = run_export_job(dir, export_job_xml("<databases all=\"yes\"/><script>" + dump + "</script>",
                                                       "<createdb>yes</createdb><usedb>yes</usedb>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::string text = read_file(dump);
    EXPECT_NE(text.find("Database - (ALL)"), std::string::npos);
    EXPECT_NE(text.find(std::string("\nCREATE DATABASE /*!32312 IF NOT EXISTS*/`") + kDb + "`"), std::string::npos);
    EXPECT_NE(text.find(std::string("\nUSE `") + kDb + "`;\n"), std::string::npos);
    EXPECT_EQ(text.find("Database structure for database `information_schema`"), std::string::npos);
    EXPECT_EQ(text.find("Database structure for database `performance_schema`"), std::string::npos);
    EXPECT_EQ(text.find("Database structure for database `mysql`"), std::string::npos);
}

// With singletransaction, a dump of all databases into one file is one snapshot: a row
// committed while kro waits for a lock on a table of an earlier database is not in a later
// one. (The file used to take no snapshot at all, and with it no table locks either.)
TEST_F(ExportObjectsTest, AllDatabasesSingleFileIsOneSnapshot) {
    const std::string later = std::string(kDb) + "_z";
    recreate_database(later);
    mariadb_exec("create table " + later + ".t (id int primary key) engine=InnoDB; insert into " + later +
                 ".t values (424242)");
    kro::connection::ServerConnection locker;
    ASSERT_TRUE(connect_direct(locker, mariadb_connection_info()));
    connection_value(locker, (std::string("lock tables ") + kDb + ".items write").c_str());
    TempDir dir;
    const std::string dump = dir.file("all.sql");
    RunResult run;
    std::thread exporter([&] {
        run = run_export_job(dir, export_job_xml("<databases all=\"yes\"/><script>" + dump + "</script>",
                                                 "<singletransaction>yes</singletransaction>"));
    });
    bool waited = false;
    for (int i = 0; i < 600 && !waited; ++i) {
        waited = mariadb_value("select count(*) from information_schema.processlist where state like "
                               "'Waiting for table metadata lock%'") != "0";
        if (!waited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    mariadb_exec("insert into " + later + ".t values (717171)");
    connection_value(locker, "unlock tables");
    exporter.join();
    EXPECT_TRUE(waited);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string text = read_file(dump);
    EXPECT_NE(text.find("424242"), std::string::npos);
    EXPECT_EQ(text.find("717171"), std::string::npos);
    mariadb_exec("drop database " + later);
}

TEST_F(ExportObjectsTest, AppendModeAddsToTheFile) {
    TempDir dir;
    const std::string dump = dir.file("append.sql");
    const std::string script = "<script>" + dump + "</script>";
    ASSERT_EQ(run_export_job(dir, objects_job(script, "<appendtofile>yes</appendtofile>")).exit_code, 0);
    ASSERT_EQ(run_export_job(dir, objects_job(script, "<appendtofile>yes</appendtofile>")).exit_code, 0);
    EXPECT_EQ(count_of(read_file(dump), "MySQL - "), 2u);
    ASSERT_EQ(run_export_job(dir, objects_job(script, "<appendtofile>no</appendtofile>")).exit_code, 0);
    EXPECT_EQ(count_of(read_file(dump), "MySQL - "), 1u);
}

// ---------------------------------------------------------------------------------------
// Failures

std::string list_job(const std::string& dump, const std::string& objects, const std::string& extra = "") {
    return export_job_xml(std::string("<databases><database name=\"") + kDb + "\"><objects>" + objects +
                              "</objects></database></databases><script>" + dump + "</script>",
                          "", extra);
}

TEST_F(ExportObjectsTest, MissingTableIsReportedAndTheNextOneStillFollows) {
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, list_job(dump, "<tables><table>missing</table><table>items</table></tables>"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Table 'kro_exp_obj.missing' doesn't exist"), std::string::npos) << run.out;
    // A dump with a failure never takes the name of a complete one.
    EXPECT_FALSE(file_exists(dump));
    EXPECT_NE(read_file(dump + ".incomplete").find("CREATE TABLE `items`"), std::string::npos);
    EXPECT_NE(read_file(dir.file("krosession.xml")).find("<error>Table 'kro_exp_obj.missing' doesn't exist"),
              std::string::npos);
    EXPECT_NE(read_file(dir.file("kro.log")).find("doesn't exist"), std::string::npos);

    run = run_export_job(dir, list_job(dump, "<tables><table>missing</table><table>items</table></tables>",
                                       "<abortonerror>yes</abortonerror>"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(read_file(dump + ".incomplete").find("CREATE TABLE `items`"), std::string::npos);
}

TEST_F(ExportObjectsTest, MissingProcedureIsReportedAndTheNextIsWritten) {
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, list_job(dump, "<procedures><procedure>nope</procedure><procedure>add_item</procedure></procedures>"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Procedure 'nope' doesn't exists!"), std::string::npos) << run.out;
    EXPECT_NE(read_file(dump + ".incomplete").find("/* Procedure structure for procedure `add_item` */"),
              std::string::npos);
}

// A user who may read only one column of `secret`: its structure is written, its rows
// cannot be read.
std::string limited_user_job(const std::string& script, const char* options) {
    mariadb_exec(std::string("use ") + kDb + "; create or replace table secret (id int primary key, hidden varchar(10));"
                 "insert into secret values (1, 'x');"
                 "drop user if exists kro_exp_limited; create user kro_exp_limited identified by 'Limited_pw1';"
                 "grant insert, select (id) on " + kDb + ".secret to kro_exp_limited;"
                 "grant select on " + kDb + ".items to kro_exp_limited");
    std::string xml = export_job_xml(std::string("<databases><database name=\"") + kDb +
                                         "\"><objects><tables><table>secret</table><table>items</table></tables>"
                                         "</objects></database></databases>" + script,
                                     options);
    xml.replace(xml.find("<user>"), xml.find("</pwd>") - xml.find("<user>"),
                "<user>kro_exp_limited</user><pwd>Limited_pw1");
    return xml;
}

TEST_F(ExportObjectsTest, TableWhoseRowsCannotBeReadLeavesADumpThatStillReplays) {
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, limited_user_job("<script>" + dump + "</script>",
                                                         "<bulkinsert>yes</bulkinsert><locktablewrite>yes</locktablewrite>"
                                                         "<disablekeys>yes</disablekeys><autocommit>yes</autocommit>"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("SELECT command denied"), std::string::npos) << run.out;
    recreate_database(kCopy);
    std::string output;
    ASSERT_EQ(replay_dump(dump + ".incomplete", kCopy, &output), 0) << output;
    EXPECT_EQ(table_rows(kCopy, "items"), table_rows(kDb, "items"));

    // A file per object: what the failed table wrote stays in its own file, which is
    // marked incomplete; the others are complete.
    TempDir per_object;
    run = run_export_job(per_object, limited_user_job("<script fileordir=\"dir\">" + per_object.path() + "</script>", ""));
    mariadb_exec(std::string("drop user kro_exp_limited; drop table `") + kDb + "`.secret");
    EXPECT_EQ(run.exit_code, 1);
    std::string items = read_file(per_object.file("tbl_items.sql"));
    EXPECT_EQ(count_of(items, "MySQL - "), 1u) << items;
    EXPECT_EQ(items.find("secret"), std::string::npos) << items;
    EXPECT_NE(items.find("\n-- Dump completed on "), std::string::npos) << items;
    EXPECT_FALSE(file_exists(per_object.file("tbl_secret.sql")));
    EXPECT_NE(read_file(per_object.file("tbl_secret.sql.incomplete")).find("CREATE TABLE `secret`"), std::string::npos);
}

// The global read lock of flushmaster needs RELOAD: without it the dump is not the
// consistent one the job asked for, and the job fails.
TEST_F(ExportObjectsTest, RefusedFlushLockFailsTheJob) {
    TempDir dir;
    std::string xml = limited_user_job("<script>" + dir.file("d.sql") + "</script>", "<flushmaster>yes</flushmaster>");
    RunResult run = run_export_job(dir, xml);
    mariadb_exec(std::string("drop user kro_exp_limited; drop table `") + kDb + "`.secret");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("RELOAD"), std::string::npos) << run.out;
}

// Bodies that hold "*/" or "$$" themselves still replay: the dump frames them without the
// versioned comment and between a delimiter they do not contain.
TEST_F(ExportObjectsTest, BodiesWithCommentsAndDollarSignsReplay) {
    const std::string db = std::string(kDb) + "_bodies";
    recreate_database(db);
    mariadb_exec("use " + db + "; create table t (a int);"
                 "create procedure p() begin /* a comment */ select 1 as one; -- costs $$\n end;"
                 "create trigger tr before insert on t for each row begin /* add one */ set new.a = new.a + 1; end;"
                 "create event ev on schedule every 1 day disable do begin /* nightly */ delete from t; end");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, export_job_xml("<databases><database name=\"" + db +
                                                           "\"><objects all=\"yes\"/></database></databases><script>" +
                                                           dump + "</script>",
                                                       ""));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string copy = db + "_copy";
    recreate_database(copy);
    std::string output;
    ASSERT_EQ(replay_dump(dump, copy, &output), 0) << output << read_file(dump);
    // The dump holds the bodies as written (the mariadb client drops comments when it replays).
    EXPECT_NE(read_file(dump).find("begin /* a comment */ select 1 as one; -- costs $$\n end"), std::string::npos);
    EXPECT_EQ(mariadb_value("select count(*) from information_schema.routines where routine_schema = '" + copy + "'"),
              "1");
    mariadb_exec("insert into " + copy + ".t values (1)");
    EXPECT_EQ(mariadb_value("select a from " + copy + ".t"), "2");
    EXPECT_EQ(mariadb_value("select count(*) from information_schema.events where event_schema = '" + copy + "'"), "1");
    mariadb_exec("drop database " + db + "; drop database " + copy);
}

// The server only notes a missing definer: the view is dumped as it is and replays with it.
TEST_F(ExportObjectsTest, ViewWithAMissingDefinerIsDumpedAsItIs) {
    mariadb_exec(std::string("use ") + kDb + "; create or replace definer = 'ghost'@'%' sql security definer view ghost_view as select 1 as x");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, list_job(dump, "<views><view>ghost_view</view></views>"));
    mariadb_exec(std::string("drop view `") + kDb + "`.ghost_view");
    ASSERT_EQ(run.exit_code, 0) << run.out;
    recreate_database(kCopy);
    std::string output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << output;
    EXPECT_EQ(mariadb_value(std::string("select definer from information_schema.views where table_schema = '") + kCopy +
                            "' and table_name = 'ghost_view'"),
              "ghost@%");
}

TEST_F(ExportObjectsTest, BrokenViewIsReportedAndTheNextViewFollows) {
    mariadb_exec(std::string("use ") + kDb + "; create table gone (x int); create or replace view broken_view as select x from gone;"
                 "drop table gone");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, list_job(dump, "<views><view>broken_view</view><view>z_view</view></views>"));
    mariadb_exec(std::string("drop view `") + kDb + "`.broken_view");
    EXPECT_EQ(run.exit_code, 1);
    // Told once, never as exported; its definition, which would stop the replay, is left out.
    EXPECT_EQ(count_of(run.out, "View 'kro_exp_obj.broken_view' references invalid table(s)"), 1u) << run.out;
    EXPECT_EQ(count_of(run.out, "Export successful..."), 1u) << run.out;
    EXPECT_NE(run.out.find("Exporting view z_view...\nExport successful..."), std::string::npos) << run.out;
    std::string text = read_file(dump + ".incomplete");
    EXPECT_NE(text.find("/*View structure for view z_view */"), std::string::npos);
    EXPECT_EQ(text.find("VIEW `broken_view`"), std::string::npos);
}

TEST_F(ExportObjectsTest, NamesWithBackquotesAndQuotesAreDumpedSafely) {
    const std::string db = "kro_exp_we`ird'db";
    mariadb_exec("drop database if exists `kro_exp_we``ird'db`; create database `kro_exp_we``ird'db`;"
                 "create table `kro_exp_we``ird'db`.`t``1'x` (`c``1` int primary key, v varchar(5));"
                 "insert into `kro_exp_we``ird'db`.`t``1'x` values (1, 'a'), (2, 'b')");
    TempDir dir;
    const std::string dump = dir.file("d.sql");
    RunResult run = run_export_job(dir, export_job_xml("<databases><database name=\"kro_exp_we`ird&apos;db\"><objects all=\"yes\"/>"
                                                       "</database></databases><script>" + dump + "</script>",
                                                       "<bulkinsert>yes</bulkinsert>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    recreate_database(kCopy);
    std::string output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << output;
    EXPECT_EQ(table_rows(kCopy, "t`1'x"), table_rows(db, "t`1'x"));
    mariadb_exec("drop database `kro_exp_we``ird'db`");
}

TEST_F(ExportObjectsTest, MissingDatabaseFailsTheJob) {
    TempDir dir;
    RunResult run = run_export_job(dir, export_job_xml("<databases><database name=\"kro_no_such_db\"><objects all=\"yes\"/>"
                                                       "</database></databases><script>" + dir.file("d.sql") + "</script>", ""));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Unknown database 'kro_no_such_db'"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Export job completed"), std::string::npos);
}

TEST_F(ExportObjectsTest, UnwritableOutputIsReported) {
    TempDir dir;
    RunResult run = run_export_job(dir, objects_job("<script fileordir=\"dir\" timestampdir=\"yes\">" + dir.path() +
                                                        "/missing/deeper</script>", ""));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Error opening export file for dump. Make sure the file or directory exists."), std::string::npos)
        << run.out;

    run = run_export_job(dir, objects_job("<script>/dev/full</script>", ""));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("Error writing in file.\n28:No space left on device"), std::string::npos) << run.out;
}

TEST_F(ExportObjectsTest, WrongPasswordIsAConnectionError) {
    TempDir dir;
    std::string xml = objects_job("<script>" + dir.file("d.sql") + "</script>", "");
    xml.replace(xml.find("<pwd>") + 5, service_value("MARIADB_PASSWORD").size(), "wrong");
    RunResult run = run_export_job(dir, xml);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.out.find("\r\nERROR: 1045, Access denied"), std::string::npos) << run.out;
}

}  // namespace

// Which databases an export takes: several listed ones, each with its own objects, from one
// snapshot into one file (or a file each), and every user database with all="yes", without
// the server's own schemas and those the job leaves out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

const char kFirst[] = "kro_multi_a";
const char kSecond[] = "kro_multi_b";

std::string listed_job(const std::string& script, const char* options) {
    return export_job_xml(std::string("<databases><database name=\"") + kFirst +
                              "\"><objects all=\"yes\"/></database>\n<database name=\"" + kSecond +
                              "\"><objects><tables><table>kept</table></tables></objects></database></databases>" +
                              script,
                          options);
}

void create_databases() {
    recreate_database(kFirst);
    recreate_database(kSecond);
    mariadb_exec(std::string("use ") + kFirst +
                 "; create table t (id int primary key, v varchar(10)) engine=InnoDB;"
                 "insert into t values (1, 'a'), (2, 'b');"
                 "create view v as select id from t where id > 1;"
                 "create procedure p() select count(*) from t;");
    mariadb_exec(std::string("use ") + kSecond +
                 "; create table kept (id int primary key) engine=InnoDB; insert into kept values (10), (20);"
                 "create table left_out (id int primary key); insert into left_out values (99);");
}

}  // namespace

// Both listed databases, each with what it selects, from one snapshot: a row committed in
// the second while kro waits for a lock on the first one's table is not in the dump. The
// dump then replays into a server without either database with the plain client.
TEST(ExportDatabases, SeveralListedDatabasesComeFromOneSnapshotAndReplayIntoAnEmptyServer) {
    create_databases();
    const std::string kept_rows = table_rows(kSecond, "kept");
    const std::string first_rows = table_rows(kFirst, "t");
    kro::connection::ServerConnection locker;
    ASSERT_TRUE(connect_direct(locker, mariadb_connection_info()));
    connection_value(locker, (std::string("lock tables ") + kFirst + ".t write").c_str());
    TempDir dir;
    const std::string dump = dir.file("two.sql");
    RunResult run;
    std::thread exporter([&] {
        run = run_export_job(dir, listed_job("<script>" + dump + "</script>",
                                             "<singletransaction>yes</singletransaction><createdb>yes</createdb>"
                                             "<usedb>yes</usedb>"));
    });
    bool waited = false;
    for (int i = 0; i < 600 && !waited; ++i) {
        waited = mariadb_value("select count(*) from information_schema.processlist where state like "
                               "'Waiting for table metadata lock%'") != "0";
        if (!waited) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    mariadb_exec(std::string("insert into ") + kSecond + ".kept values (717171)");
    connection_value(locker, "unlock tables");
    exporter.join();
    EXPECT_TRUE(waited);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string text = read_file(dump);
    EXPECT_EQ(text.find("717171"), std::string::npos);
    EXPECT_EQ(text.find("left_out"), std::string::npos);

    mariadb_exec(std::string("drop database ") + kFirst + "; drop database " + kSecond);
    std::string output;
    ASSERT_EQ(replay_dump(dump, "", &output), 0) << output;
    EXPECT_EQ(table_rows(kFirst, "t"), first_rows);
    EXPECT_EQ(table_rows(kSecond, "kept"), kept_rows);
    EXPECT_EQ(client_query(std::string("select count(*) from ") + kFirst + ".v"), "1\n");
    EXPECT_EQ(mariadb_value(std::string("select count(*) from information_schema.routines where routine_schema = '") +
                            kFirst + "' and routine_name = 'p'"),
              "1");

    // A file each in a folder, each with its own objects.
    TempDir folder;
    run = run_export_job(folder, listed_job("<script fileordir=\"dir\">" + folder.path() + "</script>", nullptr));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    const std::string first = read_file(folder.file(std::string("db_") + kFirst + ".sql"));
    const std::string second = read_file(folder.file(std::string("db_") + kSecond + ".sql"));
    EXPECT_NE(first.find("CREATE TABLE `t`"), std::string::npos) << first.substr(0, 400);
    EXPECT_NE(first.find("PROCEDURE `p`"), std::string::npos);
    EXPECT_NE(second.find("CREATE TABLE `kept`"), std::string::npos);
    EXPECT_EQ(second.find("left_out"), std::string::npos);
    EXPECT_EQ(second.find("CREATE TABLE `t`"), std::string::npos);
    mariadb_exec(std::string("drop database ") + kFirst + "; drop database " + kSecond);
}

// A backup account that may not run the sys schema's routines exports every user database
// and exits 0; sys, and the databases the job leaves out by name or pattern, are not in it.
TEST(ExportDatabases, AllDatabasesLeaveOutTheServersSchemasAndTheExcludedOnes) {
    create_databases();
    recreate_database("kro_multi_skip_1");
    mariadb_exec("create table kro_multi_skip_1.t (id int)");
    mariadb_exec("drop user if exists 'kro_backup'@'%'; create user 'kro_backup'@'%' identified by 'b';"
                 "grant select, show view, trigger, lock tables, event on *.* to 'kro_backup'@'%'");
    ASSERT_EQ(mariadb_value("select count(*) from information_schema.schemata where schema_name = 'sys'"), "1");
    TempDir dir;
    const std::string dump = dir.file("all.sql");
    std::string xml = export_job_xml(std::string("<databases all=\"yes\"><exclude name=\"") + kSecond +
                                         "\"/><exclude like=\"kro\\_multi\\_skip%\"/></databases><script>" + dump +
                                         "</script>",
                                     "<createdb>yes</createdb>");
    xml.replace(xml.find("<user>"), xml.find("</pwd>") - xml.find("<user>"), "<user>kro_backup</user><pwd>b");
    RunResult run = run_export_job(dir, xml);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::string text = read_file(dump);
    EXPECT_NE(text.find(std::string("CREATE DATABASE /*!32312 IF NOT EXISTS*/`") + kFirst + "`"), std::string::npos);
    for (const char* absent : {"`sys`", "`kro_multi_b`", "`kro_multi_skip_1`", "`information_schema`"})
        EXPECT_EQ(text.find(std::string("CREATE DATABASE /*!32312 IF NOT EXISTS*/") + absent), std::string::npos)
            << absent;
    mariadb_exec("drop user 'kro_backup'@'%'; drop database kro_multi_skip_1; drop database " + std::string(kFirst) +
                 "; drop database " + kSecond);
}

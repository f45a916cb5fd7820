// Stored objects come back as they were. A small corpus of objects made under the
// conditions a dump loses most easily (an empty SQL mode, client character sets other
// than UTF-8, Oracle-mode packages, a view's own collation, a view wider than any table,
// a view over a view, triggers, a database whose default collation changed after some of
// its routines were made) is dumped, replayed twice by the mariadb client into a fresh
// database, and compared through information_schema and by using the objects.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

const char kDb[] = "kro_exp_corpus";
const char kCopy[] = "kro_exp_corpus_copy";
const char kPrivet[] = "\xef\xf0\xe8\xe2\xe5\xf2";  // "привет" in cp1251
const char kSincere[] = "\xd5\x5c";                // "誠" in gbk: its second byte is a backslash in ASCII
const char kPrivetKoi8[] = "\xd0\xd2\xc9\xd7\xc5\xd4";  // "привет" in koi8r

void create_corpus() {
    recreate_database(kDb);
    std::string wide = "create view wide_view as select 1 as c1";
    for (int i = 2; i <= 1100; ++i) wide += ", " + std::to_string(i) + " as c" + std::to_string(i);
    mariadb_exec(std::string("use ") + kDb + ";"
        "create table counters (id int auto_increment primary key, note varchar(20));"
        "create table greetings (id int primary key, word varchar(20));"
        "insert into greetings values (1, 'a');"
        // Under an empty SQL mode a 0 into an AUTO_INCREMENT column takes the next number.
        "set sql_mode = '';"
        "create procedure add_zero() insert into counters values (0, 'zero');"
        "create trigger counted before insert on counters for each row set new.note = concat(new.note, '+');"
        "create event tidy on schedule every 1 day disable do delete from counters where id < 0;"
        "set sql_mode = default; set names cp1251;"
        "create procedure hello() select '" + kPrivet + "' as word;"
        "create event greet on schedule every 1 day disable do insert into greetings values (2, '" + kPrivet + "');"
        "create view privet_view as select '" + kPrivet + "' as word;"
        "set names koi8r;"
        "create function privet() returns varchar(20) return '" + kPrivetKoi8 + "';"
        "create trigger greeted after insert on greetings for each row set @greeted = '" + kPrivetKoi8 + "';"
        "set names gbk;"
        "create trigger sincere before insert on greetings for each row set new.word = '" + kSincere + "';"
        "set names utf8mb4 collate utf8mb4_bin;"
        "create view case_view as select 'abc' = 'ABC' as same;"
        "set names utf8mb4;"
        "create view z_base as select id, word from greetings;"
        "create view a_over as select id from z_base;" +
        wide + ";"
        "set sql_mode = 'ORACLE';"
        "create package pack as function answer return int; end;"
        "create package body pack as function answer return int as begin return 42; end; end;"
        "create package lonely as procedure nothing; end;"
        // A routine takes its database's default collation for its texts; this one keeps
        // utf8mb4 after the database turns latin1.
        "set sql_mode = default;"
        "create function charset_of(s varchar(10)) returns varchar(40) return charset(s);"
        "alter database " + kDb + " character set latin1;"
        "create function latin_charset_of(s varchar(10)) returns varchar(40) return charset(s);");
}

// The settings and texts information_schema keeps of every object in schema, one line each
// (a view's text without the schema name it qualifies its tables with).
std::string object_settings(const std::string& schema) {
    const std::string s = "'" + schema + "'";
    return client_query(
        "select routine_type, routine_name, sql_mode, character_set_client, collation_connection, database_collation, "
        "routine_definition from information_schema.routines where routine_schema = " + s +
        " union all select 'TRIGGER', trigger_name, sql_mode, character_set_client, collation_connection, "
        "concat(action_order, database_collation), action_statement from information_schema.triggers "
        "where trigger_schema = " + s +
        " union all select 'EVENT', event_name, sql_mode, character_set_client, collation_connection, "
        "concat(time_zone, database_collation), event_definition from information_schema.events where event_schema = " + s +
        " union all select 'VIEW', table_name, '', character_set_client, collation_connection, is_updatable, "
        "replace(view_definition, '`" + schema + "`.', '') from information_schema.views where table_schema = " + s +
        " order by 1, 2");
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class ExportCorpusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { create_corpus(); }
};

TEST_F(ExportCorpusTest, ObjectsReplayWithTheirSettingsAndBehaveAsBefore) {
    TempDir dir;
    const std::string dump = dir.file("corpus.sql");
    RunResult run = run_export_job(dir, export_job_xml(std::string("<databases><database name=\"") + kDb +
                                                           "\"><objects all=\"yes\"/></database></databases><script>" +
                                                           dump + "</script>",
                                                       "<bulkinsert>yes</bulkinsert><dropobjects>yes</dropobjects>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("Exporting package pack...\nExport successful..."), std::string::npos) << run.out;
    const std::string text = read_file(dump);
    // Each table's triggers follow its rows, before the next table.
    EXPECT_LT(text.find("/*Data for the table `counters` */"), text.find("TRIGGER `counted`"));
    EXPECT_LT(text.find("TRIGGER `counted`"), text.find("/*Table structure for table `greetings` */"));
    EXPECT_LT(text.find("/*Data for the table `greetings` */"), text.find("TRIGGER `sincere`"));
    // A view after the view it uses; the stand-ins are views.
    EXPECT_LT(text.find("/*View structure for view z_base */"), text.find("/*View structure for view a_over */"));
    EXPECT_NE(text.find("/*!50001 CREATE VIEW `a_over` AS SELECT\n 1 AS `id` LIMIT 0 */;"), std::string::npos);

    // The copy has the source database's default collation, as the dump's CREATE DATABASE
    // would give it; replayed twice, the second time over the objects of the first.
    recreate_database(kCopy);
    mariadb_exec(std::string("alter database ") + kCopy + " character set latin1");
    std::string output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << output;
    ASSERT_EQ(replay_dump(dump, kCopy, &output), 0) << "second replay: " << output;
    // An object whose text holds a gbk character with an ASCII byte in it is declared in the
    // dump's character set; everything else is as it was.
    const std::string source = object_settings(kDb);
    const std::string expected = replace_all(source, "\tgbk\t", "\tutf8mb4\t");
    EXPECT_NE(expected, source);
    EXPECT_EQ(object_settings(kCopy), expected);
    EXPECT_EQ(client_query(std::string("select default_collation_name from information_schema.schemata where "
                                       "schema_name = '") + kCopy + "'"),
              "latin1_swedish_ci\n");
    EXPECT_NE(expected.find("PACKAGE BODY\tpack\t"), std::string::npos) << expected;
    EXPECT_NE(expected.find("PACKAGE\tlonely\t"), std::string::npos) << expected;

    const std::string copy = kCopy;
    mariadb_exec("call " + copy + ".add_zero(); call " + copy + ".add_zero()");
    EXPECT_EQ(client_query("select id, note from " + copy + ".counters order by id"), "1\tzero+\n2\tzero+\n");
    EXPECT_EQ(client_query("call " + copy + ".hello()"), "привет\n");
    EXPECT_EQ(client_query("select word from " + copy + ".privet_view"), "привет\n");
    EXPECT_EQ(client_query("select " + copy + ".privet()"), "привет\n");
    EXPECT_EQ(client_query("select " + copy + ".charset_of('x'), " + copy + ".latin_charset_of('x')"),
              "utf8mb4\tlatin1\n");
    EXPECT_EQ(client_query("insert into " + copy + ".greetings values (5, 'x'); select @greeted"), "привет\n");
    EXPECT_EQ(client_query("select word from " + copy + ".greetings where id = 5"), "誠\n");
    EXPECT_EQ(client_query("select * from " + copy + ".case_view"), "0\n");
    EXPECT_EQ(client_query("select c1, c1100 from " + copy + ".wide_view"), "1\t1100\n");
    EXPECT_EQ(client_query("select " + copy + ".pack.answer()"), "42\n");
    mariadb_exec("drop database " + copy);
}

// A job names packages as it names procedures; the checker knows the element.
TEST_F(ExportCorpusTest, PackagesNamedInTheJobFileAreDumped) {
    TempDir dir;
    const std::string dump = dir.file("pack.sql");
    const std::string xml = export_job_xml(std::string("<databases><database name=\"") + kDb +
                                               "\"><objects><packages><package>pack</package><package>none</package>"
                                               "</packages></objects></database></databases><script>" + dump +
                                               "</script>",
                                           "<dropobjects>yes</dropobjects>");
    RunResult run = run_export_job(dir, xml);
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.out.find("PACKAGE none does not exist"), std::string::npos) << run.out;
    const std::string text = read_file(dump + ".incomplete");
    EXPECT_NE(text.find("/*M!100303 DROP PACKAGE IF EXISTS `pack` */;"), std::string::npos);
    EXPECT_LT(text.find("PACKAGE \"pack\""), text.find("PACKAGE BODY \"pack\""));
    EXPECT_EQ(text.find("lonely"), std::string::npos);

    // A job file in use is private; kro-check warns of one that others may read.
    ASSERT_EQ(chmod(dir.file("job.xml").c_str(), 0600), 0);
    RunResult check = run_program(KRO_CHECK_BINARY, {"job.xml"}, dir.path());
    EXPECT_EQ(check.exit_code, 0) << check.out;
}

}  // namespace

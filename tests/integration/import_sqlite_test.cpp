#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "import_sources.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"

namespace {

using Rows = std::vector<std::string>;

class ImportSqliteTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sqlite_run(
            "DROP TABLE IF EXISTS orders; DROP TABLE IF EXISTS customers; DROP TABLE IF EXISTS items;"
            "CREATE TABLE customers (id INTEGER PRIMARY KEY, name VARCHAR(50) NOT NULL, city TEXT, score REAL,"
            " big INTEGER);"
            "CREATE UNIQUE INDEX customers_name ON customers(name);"
            "CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER REFERENCES customers(id),"
            " amount NUMERIC(10,2), placed TIMESTAMP);"
            "INSERT INTO customers VALUES (1, 'Ann', 'Bergen', 1.5, 1099511627776), (2, 'B\xC3\xB8 \xF0\x9F\x98\x80',"
            " NULL, NULL, NULL), (3, 'Cy''s', 'Oslo', -2.25, -5);"
            "INSERT INTO orders VALUES (1, 1, 12.5, '2024-01-02 03:04:05'), (2, 2, NULL, NULL), (3, 3, 0, NULL);"
            "CREATE TABLE items (id INTEGER PRIMARY KEY, v TEXT);"
            "INSERT INTO items VALUES (1, 'new1'), (2, 'new2');"
            "DROP TABLE IF EXISTS wide;"
            // Rows enough for a row statement far longer than an error report quotes.
            "CREATE TABLE wide (id INTEGER PRIMARY KEY, name TEXT);"
            "WITH RECURSIVE g(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM g WHERE x < 300)"
            " INSERT INTO wide SELECT x, 'value number ' || x FROM g;");
    }

    RunResult run_job(const std::string& database, const std::string& dsn, const std::string& body,
                      const std::string& extra = "") {
        write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                             target_element(database) + extra + dsn + body + "</odbcimport></job>");
        return run_kro({"job.xml"}, dir.path(), odbc_env());
    }

    std::string system_dsn() { return "<dsn type=\"system\"><name>" + service_value("ODBC_SQLITE_DSN") + "</name></dsn>"; }
    std::string file_dsn() {
        return "<dsn type=\"file\"><name>" + service_value("ODBC_SQLITE_FILEDSN") + "</name></dsn>";
    }

    TempDir dir;
};

// A listed table whose columns the job file gives: renamed, retyped, one filled from its
// default. NULL stays NULL whatever the default, read column by column (a table with text
// columns) or through bound buffers (a table of numbers and dates).
const char kListedTables[] =
    "<tables all=\"no\">"
    "<table source=\"customers\" target=\"crm.people\" type=\"InnoDB\"><whereclause>id &lt;&gt; 3</whereclause>"
    "<columns>"
    "<column><source>id</source><target>pid</target><type>bigint</type><primary>yes</primary></column>"
    "<column><source>name</source><type>varchar</type><length>60</length><notnull>yes</notnull></column>"
    "<column><source>&lt;ignore&gt;</source><target>flag</target><type>int</type><default>7</default></column>"
    "<column><source>score</source><type>double</type><default>0</default></column>"
    "</columns></table>"
    "<table source=\"orders\" target=\"\"><columns>"
    "<column><source>id</source><type>int</type><primary>yes</primary></column>"
    "<column><source>customer_id</source><type>int</type></column>"
    "<column><source>amount</source><type>decimal</type><length>10,2</length><default>0</default></column>"
    "<column><source>placed</source><type>datetime</type></column>"
    "</columns></table></tables>";

}  // namespace

TEST_F(ImportSqliteTest, ListedTablesThroughAFileDsnTakeTheJobFileColumns) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_lite");
    RunResult r = run_job("imp_lite", file_dsn(), kListedTables);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("DBMS Information: SQLITE\n"), std::string::npos);
    EXPECT_NE(r.out.find("Importing table schema: crm_people... Successful..."), std::string::npos) << r.out;
    EXPECT_EQ(maria_rows("select pid, name, flag, score from imp_lite.crm_people order by pid"),
              (Rows{"1\x1f" "Ann\x1f" "7\x1f" "1.5", "2\x1f" "B\xC3\xB8 \xF0\x9F\x98\x80\x1f" "7\x1f~"}));
    EXPECT_EQ(maria_rows("select id, customer_id, amount, placed from imp_lite.orders order by id"),
              (Rows{"1\x1f" "1\x1f" "12.50\x1f" "2024-01-02 03:04:05", "2\x1f" "2\x1f~\x1f~", "3\x1f" "3\x1f" "0.00\x1f~"}));
    // The job file's types and keys, and the source's unique index on the renamed table.
    const std::string people = maria_rows("show create table imp_lite.crm_people")[0];
    EXPECT_NE(people.find("PRIMARY KEY (`pid`)"), std::string::npos) << people;
    EXPECT_NE(people.find("UNIQUE KEY `customers_name` (`name`)"), std::string::npos) << people;
    EXPECT_NE(people.find("`flag` int(11) DEFAULT 7"), std::string::npos) << people;
}

TEST_F(ImportSqliteTest, AQueryImportCreatesItsTableFromTheResultColumns) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_query");
    RunResult r = run_job("imp_query", system_dsn(),
                          "<import type=\"query\"><query>select c.name, o.amount, c.big from orders o join customers c"
                          " on c.id = o.customer_id order by o.id</query><table>report</table></import>");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("Importing table data: report... \r\n3 rows transferred!\r\nSuccessful..."), std::string::npos)
        << r.out;
    EXPECT_EQ(maria_rows("select name, amount, big from imp_query.report"),
              (Rows{"Ann\x1f" "12.5\x1f" "1099511627776", "B\xC3\xB8 \xF0\x9F\x98\x80\x1f~\x1f~", "Cy's\x1f" "0\x1f-5"}));

    // A listed table without columns takes the query's, and the keys of the source table
    // it names.
    r = run_job("imp_query", system_dsn(),
                "<import type=\"query\"><query>select id, v from items where id > 1</query><table>x</table></import>"
                "<tables all=\"no\"><table source=\"items\" target=\"picked\"/></tables>");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows("select id, v from imp_query.picked"), (Rows{"2\x1fnew2"}));
    EXPECT_NE(maria_rows("show create table imp_query.picked")[0].find("PRIMARY KEY (`id`)"), std::string::npos);
}

TEST_F(ImportSqliteTest, EachConflictActionTreatsAnExistingTableAndItsRowsAsAsked) {
    auto prepare = [] {
        mariadb_exec("DROP DATABASE IF EXISTS imp_conf; CREATE DATABASE imp_conf;"
                     "CREATE TABLE imp_conf.items (id int primary key, v varchar(10));"
                     "INSERT INTO imp_conf.items VALUES (1, 'old1'), (3, 'old3')");
    };
    auto run = [&](const std::string& ddl, const std::string& dml) {
        prepare();
        return run_job("imp_conf", system_dsn(),
                       "<tables all=\"no\"><table source=\"items\"><ddl onconflict=\"" + ddl + "\"/><dml onconflict=\"" +
                           dml + "\" import=\"yes\"/></table></tables>");
    };
    const std::string rows = "select id, v from imp_conf.items order by id";

    RunResult r = run("abort", "update");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nitems: Table alreadys exists...Job aborted"), std::string::npos) << r.out;
    EXPECT_EQ(maria_rows(rows), (Rows{"1\x1fold1", "3\x1fold3"}));

    r = run("import", "update");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows(rows), (Rows{"1\x1fnew1", "2\x1fnew2", "3\x1fold3"}));

    r = run("import", "noupdate");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows(rows), (Rows{"1\x1fold1", "2\x1fnew2", "3\x1fold3"}));

    r = run("import", "abort");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nitems: Duplicate Key...Job aborted..."), std::string::npos) << r.out;
    EXPECT_EQ(maria_rows(rows), (Rows{"1\x1fold1", "3\x1fold3"}));

    r = run("recreate", "update");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows(rows), (Rows{"1\x1fnew1", "2\x1fnew2"}));
}

// noupdate keeps the target's row and inserts the others, even within one statement and
// whatever the table action; update changes rows in place and never takes a row the source
// does not name: a source row that meets another target row on a second unique key fails
// the table, which is then left as it was.
TEST_F(ImportSqliteTest, DuplicatesKeepTheTargetsRowAndAnUpdateNeverDeletesARow) {
    sqlite_run("DROP TABLE IF EXISTS dupes; CREATE TABLE dupes (k integer, v text);"
               "INSERT INTO dupes VALUES (1, 'a'), (2, 'b'), (2, 'dup'), (3, 'c'), (4, 'd');"
               "DROP TABLE IF EXISTS mails; CREATE TABLE mails (id integer PRIMARY KEY, email text);"
               "INSERT INTO mails VALUES (1, 'a@x'), (3, 'x@x');");
    const std::string dupes = "<table source=\"dupes\"><ddl onconflict=\"recreate\"/><dml onconflict=\"noupdate\"/>"
                              "<columns><column><source>k</source><type>int</type><primary>yes</primary></column>"
                              "<column><source>v</source><type>varchar</type><length>5</length></column>"
                              "</columns></table>";
    mariadb_exec("DROP DATABASE IF EXISTS imp_dup");
    RunResult r = run_job("imp_dup", system_dsn(), "<tables all=\"no\">" + dupes + "</tables>");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("\r\n5 rows transferred!\r\n1 rows skipped: their keys were in the target already!"
                         "\r\nSuccessful..."),
              std::string::npos) << r.out;
    EXPECT_NE(read_file(dir.file("kro.log")).find("1 rows skipped"), std::string::npos);
    EXPECT_EQ(maria_rows("select k, v from imp_dup.dupes order by k"),
              (Rows{"1\x1f" "a", "2\x1f" "b", "3\x1f" "c", "4\x1f" "d"}));

    mariadb_exec("CREATE TABLE imp_dup.mails (id int PRIMARY KEY, email varchar(20) UNIQUE, note int DEFAULT 5);"
                 "INSERT INTO imp_dup.mails (id, email) VALUES (1, 'old@x'), (9, 'x@x')");
    const std::string mails = "<table source=\"mails\"><ddl onconflict=\"import\"/><dml onconflict=\"update\"/></table>";
    r = run_job("imp_dup", system_dsn(), "<tables all=\"no\">" + mails + "</tables>");
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("another primary key on a unique key"), std::string::npos) << r.out;
    EXPECT_EQ(maria_rows("select id, email, note from imp_dup.mails order by id"),
              (Rows{"1\x1fold@x\x1f" "5", "9\x1fx@x\x1f" "5"}));

    // Without the collision the rows change in place: columns the source lacks keep their values.
    mariadb_exec("UPDATE imp_dup.mails SET email = 'nine@x', note = 7 WHERE id = 9");
    r = run_job("imp_dup", system_dsn(), "<tables all=\"no\">" + mails + "</tables>");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows("select id, email, note from imp_dup.mails order by id"),
              (Rows{"1\x1f" "a@x\x1f" "5", "3\x1fx@x\x1f" "5", "9\x1fnine@x\x1f" "7"}));
}

// A table that fails after some of its statements went through is taken back; where the
// engine cannot, the run says exactly how many of its rows stay.
TEST_F(ImportSqliteTest, AFailedTableIsTakenBackOrItsRemainingRowsAreCounted) {
    sqlite_run("DROP TABLE IF EXISTS many; CREATE TABLE many (id integer, v text);"
               "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < 3000)"
               " INSERT INTO many SELECT n, CASE WHEN n = 2900 THEN 'much too long' ELSE 'v' || n END FROM g;");
    auto table = [](const std::string& engine) {
        return "<tables all=\"no\"><table source=\"many\" type=\"" + engine +
               "\"><columns><column><source>id</source><type>int</type><primary>yes</primary></column>"
               "<column><source>v</source><type>varchar</type><length>5</length></column></columns></table></tables>";
    };
    const std::string packet = maria_rows("select @@global.max_allowed_packet")[0];
    mariadb_exec("SET GLOBAL max_allowed_packet = 16384");  // many statements of about 11 KB
    mariadb_exec("DROP DATABASE IF EXISTS imp_back");
    RunResult innodb = run_job("imp_back", system_dsn(), table("InnoDB"));
    const std::string innodb_count = maria_rows("select count(*) from imp_back.many")[0];
    mariadb_exec("DROP DATABASE IF EXISTS imp_back");
    RunResult myisam = run_job("imp_back", system_dsn(), table("MyISAM"));
    mariadb_exec("SET GLOBAL max_allowed_packet = " + packet);

    EXPECT_EQ(innodb.exit_code, 1);
    EXPECT_NE(innodb.out.find("Data too long for column 'v'"), std::string::npos) << innodb.out;
    EXPECT_NE(innodb.out.find("rows transferred!"), std::string::npos) << "not one statement: " << innodb.out;
    EXPECT_EQ(innodb_count, "0");
    EXPECT_EQ(innodb.out.find("cannot take the failed table back"), std::string::npos) << innodb.out;

    EXPECT_EQ(myisam.exit_code, 1);
    const std::string kept = maria_rows("select count(*) from imp_back.many")[0];
    EXPECT_NE(kept, "0");
    EXPECT_NE(myisam.out.find("\r\nmany: the target cannot take the failed table back: it holds " + kept +
                              " rows more than before."),
              std::string::npos) << myisam.out;
    // No count line claims a row that did not arrive.
    const std::size_t last = myisam.out.rfind(" rows transferred!");
    ASSERT_NE(last, std::string::npos);
    const std::size_t line = myisam.out.rfind('\n', last) + 1;
    EXPECT_LE(std::stol(myisam.out.substr(line, last - line)), std::stol(kept)) << myisam.out;
}

// A tolerated duplicate key silences the counts of its own table only: the tables after it
// still report their rows and their closing line.
TEST_F(ImportSqliteTest, AFailedTableIsReportedAndAbortOnErrorDecidesWhetherTheOthersFollow) {
    const std::string token = unique_mail_token("importfail");
    const std::string mail =
        "<sendreport value=\"yes\"><smtp><displayname>kro</displayname><fromemail>kro@example.test</fromemail><host>" +
        service_value("SMTP_HOST") + "</host><port>" + service_value("SMTP_PORT") + "</port><toemail>" + token +
        "@example.test</toemail><subject>Import</subject></smtp></sendreport>";
    // A table missing in the source, a value too long for its column (never cut), and a
    // table that is fine.
    const std::string tables =
        "<tables all=\"no\"><table source=\"nope\"/>"
        "<table source=\"wide\" target=\"narrow\"><columns>"
        "<column><source>id</source><type>int</type></column>"
        "<column><source>name</source><type>varchar</type><length>2</length></column></columns></table>"
        "<table source=\"items\"/></tables>";

    mariadb_exec("DROP DATABASE IF EXISTS imp_fail");
    RunResult r = run_job("imp_fail", system_dsn(), tables, mail);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR in SQL:\nSelect * from \"nope\" where 1 = 0 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Data too long for column 'name'"), std::string::npos) << r.out;
    // The job went on to its end: it was not aborted.
    EXPECT_EQ(r.out.find("Import aborted"), std::string::npos) << r.out;
    // The refused statement of 300 rows is quoted in part, everywhere; the files that
    // quote it are the owner's only.
    for (const std::string& text : {r.out, read_file(dir.file("kro.log")), read_file(dir.file("krosession.xml"))}) {
        EXPECT_NE(text.find("INTO `imp_fail`.`narrow`"), std::string::npos);
        EXPECT_NE(text.find(" ...[cut: "), std::string::npos);
        EXPECT_EQ(text.find("'value number 300'"), std::string::npos);
    }
    for (const char* file : {"kro.log", "krosession.xml"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.file(file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
    EXPECT_EQ(maria_rows("select count(*) from imp_fail.narrow")[0], "0");
    EXPECT_EQ(maria_rows("select count(*) from imp_fail.items")[0], "2");
    StoredMail stored;
    ASSERT_TRUE(fetch_stored_mail(token, stored));
    std::string plain = stored.parts[0];
    std::erase(plain, '\r');
    EXPECT_NE(plain.find("\nnope: Import unsuccessful\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("\nnarrow: Import unsuccessful\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("Import job completed at:"), std::string::npos);

    mariadb_exec("DROP DATABASE IF EXISTS imp_fail");
    r = run_job("imp_fail", system_dsn(), "<onerror value=\"yes\"/>" + tables);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find("Importing table schema: items"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nERROR: Import aborted..."), std::string::npos);
    EXPECT_TRUE(maria_rows("show tables from imp_fail").empty());
}

// Every table of a source that holds none: nothing to do is no failure, but the run says so.
TEST_F(ImportSqliteTest, AllTablesOfAnEmptySourceSucceedAndSayThereWasNothingToDo) {
    std::string dsn = read_file(service_value("ODBC_SQLITE_FILEDSN"));
    const std::string db = service_value("ODBC_SQLITE_DB");
    dsn.replace(dsn.find(db), db.size(), dir.file("empty.db"));
    write_file(dir.file("empty.dsn"), dsn);
    RunResult r = run_job("imp_empty", "<dsn type=\"file\"><name>" + dir.file("empty.dsn") + "</name></dsn>",
                          "<tables all=\"yes\"/>");
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING: the source has no tables: there was nothing to import"), std::string::npos) << r.out;
    mariadb_exec("DROP DATABASE IF EXISTS imp_empty");
}

TEST_F(ImportSqliteTest, MissingFilesDriversAndBrokenJobFilesFailWithTheirTexts) {
    struct Case {
        std::string dsn_and_tables;
        std::string text;
    };
    write_file(dir.file("new.accdb"), "not a database");
    const std::string tables = "<tables all=\"yes\"/>";
    const Case cases[] = {
        {"<dsn type=\"access\"><name>" + dir.file("missing.mdb") + "</name></dsn>" + tables, "ERROR: File not found...\r\n"},
        {"<dsn type=\"excel\"><name>" + dir.file("missing.xls") + "</name></dsn>" + tables, "ERROR: File not found...\r\n"},
        {system_dsn(), "ERROR: The job file has no <tables> element"},
        {"<dsn type=\"oracle\"><name>x</name></dsn>" + tables, "ERROR: Unknown dsn type \"oracle\""},
        {system_dsn() + "<tables all=\"no\"><table source=\"items\"><columns><column><type>int</type></column>"
                        "</columns></table></tables>",
         "<source> tag error!\n"},
    };
    for (const Case& c : cases) {
        RunResult r = run_job("imp_never", "", c.dsn_and_tables);
        EXPECT_EQ(r.exit_code, 1) << c.text;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\r\nERROR: Import aborted..."), std::string::npos) << r.out;
    }
    {
        // A machine without any driver for Access files.
        write_file(dir.file("odbcinst.ini"), "[SQLite3]\nDriver=libsqlite3odbc.so\n");
        write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                            target_element("imp_never") + "<dsn type=\"access\"><name>" +
                                            dir.file("new.accdb") + "</name></dsn>" + tables + "</odbcimport></job>");
        RunResult r = run_kro({"job.xml"}, dir.path(), {"ODBCSYSINI=" + dir.path()});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("ERROR: Drivers for Microsoft Office 2007 are not found...\r\n"), std::string::npos)
            << r.out;
    }
    // What the job-file check refuses before the job starts.
    const Case refused[] = {
        {system_dsn() + "<tables/>", "<tables> without an attribute makes kro refuse the job file"},
        {tables, "<odbcimport> has no <dsn>, which kro needs to run it"},
        {system_dsn() + "<tables all=\"no\"></tables>", "<tables> lists no <table>: it selects nothing to import"},
    };
    for (const Case& c : refused) {
        RunResult r = run_job("imp_never", "", c.dsn_and_tables);
        EXPECT_EQ(r.exit_code, 1) << c.text;
        EXPECT_NE(r.out.find(": error: " + c.text), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Job started at"), std::string::npos) << r.out;
    }
    write_file(dir.file("job.xml"), "<?xml version=\"1.0\"?><job><odbcimport><source><host>h</host></source>" +
                                        system_dsn() + "</odbcimport></job>");
    RunResult r = run_kro({"job.xml"}, dir.path(), odbc_env());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Source SERVER information not complete (<port> is missing; <user> is missing; <database> is "
                         "missing)\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Job started at"), std::string::npos);
    EXPECT_TRUE(maria_rows("show databases like 'imp_never'").empty());
}

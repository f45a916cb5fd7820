#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "import_sources.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"

namespace {

// The same text of every value on both sides: what PostgreSQL holds and what MariaDB
// gives back. Floating columns are compared as numbers (each side prints them its way).
const char kPgValues[] =
    "select id, i2, i4, i8, n::text, r, d, b::int, c, vc, t, encode(bin, 'hex'), to_char(dt, 'YYYY-MM-DD'),"
    " to_char(tm::interval, 'HH24:MI:SS.US'), to_char(ts, 'YYYY-MM-DD HH24:MI:SS.US'), u::text from types order by id";
const char kMariaValues[] =
    "select id, i2, i4, i8, n, r, d, b + 0, c, vc, t, lower(hex(bin)), date_format(dt, '%Y-%m-%d'),"
    " time_format(tm, '%H:%i:%s.%f'), date_format(ts, '%Y-%m-%d %H:%i:%s.%f'), lower(u) from imp_pg.types order by id";
constexpr int kRealColumn = 5;
constexpr int kDoubleColumn = 6;

std::vector<std::string> fields(const std::string& row) {
    std::vector<std::string> out(1);
    for (char c : row) {
        if (c == '\x1f') out.emplace_back();
        else out.back() += c;
    }
    return out;
}

class ImportPostgresTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        pg_run(
            // The source database is the tests' own: all-tables mode must find only these.
            "DROP SCHEMA public CASCADE; CREATE SCHEMA public;"
            "CREATE TABLE parent (id serial PRIMARY KEY, name varchar(40) NOT NULL UNIQUE, note text DEFAULT 'none');"
            "CREATE TABLE child (id bigint PRIMARY KEY, parent_id int REFERENCES parent(id) ON DELETE CASCADE,"
            " label char(5));"
            "CREATE INDEX child_label ON child(label DESC, id);"
            "CREATE TABLE types (id int PRIMARY KEY, i2 smallint, i4 integer, i8 bigint, n numeric(12,4), r real,"
            " d double precision, b boolean, c char(3), vc varchar(100), t text, bin bytea, dt date, tm time(6),"
            " ts timestamp(6), u uuid);"
            "INSERT INTO parent(name) VALUES ('a'), ('b''q\\`x');"
            "INSERT INTO child VALUES (1, 1, 'x'), (2, 2, NULL);"
            // Edge values: every integer limit, the largest REAL and DOUBLE, 4-byte UTF-8, a
            // text far beyond the fetch buffers (whose pieces end inside a surrogate pair),
            // every byte value, dates outside 1970-2038.
            "INSERT INTO types VALUES (1, -32768, -2147483648, -9223372036854775808, -12345678.1234, 3.4028235e38,"
            " 1.7976931348623157e308, true, 'ab', 'caf\xC3\xA9 \xF0\x9F\x98\x80 ''\\\"', 'x' || repeat('long\xE2\x9C\x93\xF0\x9F\x98\x80', 30000),"
            " (select decode(string_agg(lpad(to_hex(g), 2, '0'), ''), 'hex') from generate_series(0, 255) g),"
            " '1901-02-03', '23:59:59.999999', '1960-01-01 00:00:00.123456', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'),"
            " (2, 32767, 2147483647, 9223372036854775807, 99999999.9999, 1.17549435e-38, 2.2250738585072014e-308,"
            " false, '', '', '', '', '9999-12-31', '00:00:00', '2100-12-31 23:59:59.5', NULL),"
            " (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
            // And a few hundred random rows, each column NULL now and then.
            "SELECT setseed(0.42);"
            "INSERT INTO types SELECT g,"
            " CASE WHEN random() < 0.1 THEN NULL ELSE (random() * 65535 - 32768)::int END,"
            " (random() * 4e9 - 2e9)::bigint, (random() * 9e18 - 4.5e18)::numeric::bigint,"
            " round((random() * 1e8 - 5e7)::numeric, 4), (random() * 1e6)::real, random() * 1e300 - 5e299,"
            " random() < 0.5, substr(md5(g::text), 1, 3), md5(random()::text) || chr(8364) || chr(128512),"
            " repeat(md5(g::text), (random() * 400)::int), decode(md5(random()::text), 'hex'),"
            " date '1000-01-01' + (random() * 3000000)::int,"
            " time '00:00' + random() * interval '23 hours',"
            " timestamp '1900-01-01' + random() * interval '250 years', gen_random_uuid()"
            " FROM generate_series(4, 400) g;"
            "CREATE TABLE queue (id int PRIMARY KEY, body text, done int DEFAULT 0);"
            "INSERT INTO queue SELECT g, 'job ' || g, 0 FROM generate_series(1, 2500) g;"
            "CREATE TABLE done_queue (id int PRIMARY KEY, body text);"
            "INSERT INTO done_queue VALUES (1, 'a'), (2, NULL), (3, 'c');");
    }

    RunResult run_job(const std::string& database, const std::string& body, const std::string& extra = "",
                      const std::string& tunnelinfo = "") {
        write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                             target_element(database, tunnelinfo) + extra + pg_dsn_element() + body +
                                             "</odbcimport></job>");
        return run_kro({"job.xml"}, dir.path(), odbc_env());
    }

    std::string show_create(const std::string& table) {
        std::vector<std::string> rows = maria_rows("show create table " + table);
        return rows.empty() ? "" : fields(rows[0])[1];
    }

    TempDir dir;
};

}  // namespace

TEST_F(ImportPostgresTest, AllTablesArriveWithEveryValueKeysIndexesAndForeignKeys) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_pg");
    const std::string token = unique_mail_token("import");
    const std::string mail =
        "<sendreport value=\"yes\" when=\"always\"><smtp><displayname>kro</displayname><fromemail>kro@example.test"
        "</fromemail><host>" + service_value("SMTP_HOST") + "</host><port>" + service_value("SMTP_PORT") +
        "</port><toemail>" + token + "@example.test</toemail><subject>Import</subject></smtp></sendreport>";
    RunResult r = run_job("imp_pg", "<tables all=\"yes\"/>", mail);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("DBMS Information: POSTGRESQL\n"), std::string::npos);
    EXPECT_NE(r.out.find("Importing table schema: types... Successful...\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("Importing table foreign keys: child... Successful...\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("Importing table data: types... \r\n400 rows transferred!\r\nSuccessful...\r\n"),
              std::string::npos) << r.out;

    // Every value, row by row.
    std::vector<std::string> source = pg_rows(kPgValues);
    std::vector<std::string> target = maria_rows(kMariaValues);
    ASSERT_EQ(source.size(), 400u);
    ASSERT_EQ(target.size(), source.size());
    for (std::size_t i = 0; i < source.size(); ++i) {
        std::vector<std::string> s = fields(source[i]), t = fields(target[i]);
        ASSERT_EQ(s.size(), t.size());
        for (std::size_t c = 0; c < s.size(); ++c) {
            SCOPED_TRACE("row " + s[0] + " column " + std::to_string(c));
            if ((c == kRealColumn || c == kDoubleColumn) && s[c] != "~") {
                if (c == kRealColumn) EXPECT_EQ(std::strtof(s[c].c_str(), nullptr), std::strtof(t[c].c_str(), nullptr));
                else EXPECT_EQ(std::strtod(s[c].c_str(), nullptr), std::strtod(t[c].c_str(), nullptr));
            } else {
                EXPECT_EQ(s[c], t[c]);
            }
        }
    }

    // Types that hold the values, and the keys, indexes and foreign keys of the source.
    const std::string types = show_create("imp_pg.types");
    for (const char* column : {"`r` double", "`d` double", "`ts` datetime(6)", "`tm` time(6)", "`n` decimal(12,4)",
                               "`t` longtext", "`bin` longblob", "`b` bit(1)", "`i8` bigint(19)", "PRIMARY KEY (`id`)"})
        EXPECT_NE(types.find(column), std::string::npos) << column << " in " << types;
    const std::string parent = show_create("imp_pg.parent");
    EXPECT_NE(parent.find("`id` int(10) NOT NULL AUTO_INCREMENT"), std::string::npos) << parent;
    EXPECT_NE(parent.find("`note` longtext DEFAULT 'none'"), std::string::npos) << parent;
    EXPECT_NE(parent.find("UNIQUE KEY `parent_name_key` (`name`)"), std::string::npos) << parent;
    EXPECT_EQ(parent.find("parent_pkey"), std::string::npos) << "the primary key twice: " << parent;
    const std::string child = show_create("imp_pg.child");
    EXPECT_NE(child.find("KEY `child_label` (`label` DESC,`id`)"), std::string::npos) << child;
    EXPECT_NE(child.find("CONSTRAINT `child_parent_id_fkey` FOREIGN KEY (`parent_id`) REFERENCES `parent` (`id`) "
                         "ON DELETE CASCADE"),
              std::string::npos) << child;
    EXPECT_EQ(maria_rows("select id, name from imp_pg.parent order by id"),
              (std::vector<std::string>{"1\x1f" "a", "2\x1f" "b'q\\`x"}));

    StoredMail stored;
    ASSERT_TRUE(fetch_stored_mail(token, stored));
    ASSERT_EQ(stored.parts.size(), 2u);
    // (The mail parser gives lines ending in "\n".)
    std::string plain = stored.parts[0], html = stored.parts[1];
    std::erase(plain, '\r');
    std::erase(html, '\r');
    EXPECT_NE(plain.find("Scheduled import started at: "), std::string::npos);
    EXPECT_NE(plain.find("Importing table data: child... \n2 rows transferred!\nSuccessful...\n"), std::string::npos)
        << plain;
    EXPECT_NE(plain.find("Import job completed successfully at:"), std::string::npos);
    EXPECT_NE(html.find("Importing table schema: parent... Successful...\n<br>"), std::string::npos) << html;
}

TEST_F(ImportPostgresTest, SourceRowsAreUpdatedOrDeletedAfterTheyWereCopied) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_rows");
    RunResult r = run_job("imp_rows",
                          "<tables all=\"no\">"
                          "<table source=\"queue\" tablespace=\"public\"><triggers><updates>"
                          "<update srccol=\"done\" value=\"done + 1\"/></updates></triggers></table>"
                          "<table source=\"done_queue\"><triggers><delete>yes</delete></triggers></table></tables>");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    // One statement per row, the count after every thousand and at the end.
    EXPECT_NE(r.out.find("Importing table data: queue... \r\n1000 rows transferred!\r\n2000 rows transferred!"
                         "\r\n2500 rows transferred!\r\nSuccessful...\r\n"),
              std::string::npos) << r.out;
    EXPECT_EQ(pg_rows("select count(*), min(done), max(done) from queue")[0], "2500\x1f" "1\x1f" "1");
    EXPECT_EQ(maria_rows("select count(*), sum(done) from imp_rows.queue")[0], "2500\x1f" "0");
    // The row with a NULL value is found too.
    EXPECT_EQ(pg_rows("select count(*) from done_queue")[0], "0");
    EXPECT_EQ(maria_rows("select id, body from imp_rows.done_queue order by id"),
              (std::vector<std::string>{"1\x1f" "a", "2\x1f~", "3\x1f" "c"}));
}

TEST_F(ImportPostgresTest, ThroughTheHttpTunnelTheTablesKeysAndValuesArriveAlike) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_http");
    const std::string tables =
        "<tables all=\"no\"><table source=\"parent\" type=\"InnoDB\"/><table source=\"child\" type=\"InnoDB\"/>"
        "<table source=\"types\" index=\"no\"/></tables>";
    RunResult r = run_job("imp_http", tables, "",
                          "<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") + "</url></tunnelinfo>");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("Importing table data: types... \r\n400 rows transferred!"), std::string::npos) << r.out;
    EXPECT_NE(show_create("imp_http.child").find("FOREIGN KEY (`parent_id`) REFERENCES `parent` (`id`) ON DELETE CASCADE"),
              std::string::npos);
    std::string values = kMariaValues;
    values.replace(values.find("imp_pg."), 7, "imp_http.");
    mariadb_exec("DROP DATABASE IF EXISTS imp_pg");
    ASSERT_EQ(run_job("imp_pg", "<tables all=\"no\"><table source=\"types\"/></tables>").exit_code, 0);
    EXPECT_EQ(maria_rows(values), maria_rows(kMariaValues));
}

TEST_F(ImportPostgresTest, ThroughAnSshTunnelTheTablesArriveWithTheirForeignKeys) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_ssh");
    int local_port = 0;
    {
        LoopbackListener free_port;  // a port nobody uses once it is closed
        local_port = free_port.port;
    }
    const std::string tunnel = "<tunnelinfo type=\"ssh\"><sshuser>" + service_value("SSH_USER") + "</sshuser><sshpwd>" +
                               xml_escaped(service_value("SSH_PASSWORD")) + "</sshpwd><sshhost>" +
                               service_value("SSH_HOST") + "</sshhost><sshport>" + service_value("SSH_PORT") +
                               "</sshport><localport>" + std::to_string(local_port) + "</localport></tunnelinfo>";
    RunResult r = run_job("imp_ssh", "<tables all=\"no\"><table source=\"parent\" type=\"InnoDB\"/>"
                                     "<table source=\"child\" type=\"InnoDB\"/></tables>", "", tunnel);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(show_create("imp_ssh.child").find("FOREIGN KEY (`parent_id`) REFERENCES `parent` (`id`) ON DELETE CASCADE"),
              std::string::npos);
    EXPECT_EQ(maria_rows("select id, parent_id, label from imp_ssh.child order by id"),
              (std::vector<std::string>{"1\x1f" "1\x1fx    ", "2\x1f" "2\x1f~"}));
}

TEST_F(ImportPostgresTest, AValueTheTargetWouldRoundFailsItsTable) {
    // psqlodbc describes an unbounded NUMERIC as NUMERIC(28,6).
    pg_run("DROP TABLE IF EXISTS unbounded; CREATE TABLE unbounded (id int PRIMARY KEY, n numeric);"
           "INSERT INTO unbounded VALUES (1, 1.5), (2, 1.123456789012)");
    mariadb_exec("DROP DATABASE IF EXISTS imp_round");
    RunResult r = run_job("imp_round", "<tables all=\"no\"><table source=\"unbounded\"/><table source=\"child\"/></tables>");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nERROR: 1265, Data truncated for column 'n' at row 2\r\nTable:unbounded\r\nSql:INSERT INTO"),
              std::string::npos) << r.out;
    // The server stored the rounded rows before it said so: they are taken back.
    EXPECT_EQ(maria_rows("select count(*) from imp_round.unbounded")[0], "0");
    EXPECT_NE(r.out.find("Importing table data: child... \r\n2 rows transferred!"), std::string::npos) << r.out;
    pg_run("DROP TABLE unbounded");
}

// Dates and times arrive as the source holds them, zoned ones in UTC whatever the source
// session's zone (two instants an hour apart across a clock change stay apart), in a
// table as in a query; a BC date or an infinity, which MariaDB cannot hold, fails its
// table, which stays empty. A text primary key becomes a key the target can make.
TEST_F(ImportPostgresTest, DatesAndTimesArriveExactlyOrTheirTableFails) {
    const std::string role = service_value("PG_USER");
    pg_run("ALTER ROLE \"" + role + "\" SET timezone = 'Europe/Berlin';"
           "DROP TABLE IF EXISTS moments, bc, inf, tags;"
           "CREATE TABLE moments (id int PRIMARY KEY, d date, ts timestamp(6), tz timestamptz);"
           "INSERT INTO moments VALUES (1, '2024-02-29', '1900-01-01 00:00:00.5', '2024-10-27 00:30Z'),"
           " (2, '0001-01-01', '9999-12-31 23:59:59.999999', '2024-10-27 01:30Z'),"
           " (3, '1582-10-10', '2024-03-31 02:30:00', '2024-03-31 00:59:59.999999+00'), (4, NULL, NULL, NULL);"
           "CREATE TABLE bc (id int PRIMARY KEY, d date); INSERT INTO bc VALUES (1, '2024-01-01'), (2, '0044-03-15 BC');"
           "CREATE TABLE inf (id int PRIMARY KEY, ts timestamp); INSERT INTO inf VALUES (1, '2000-01-01'), (2, 'infinity');"
           "CREATE TABLE tags (name text PRIMARY KEY, n int);"
           "INSERT INTO tags VALUES ('alpha', 1), (repeat('\xE2\x9C\x93', 700), 2);");
    mariadb_exec("DROP DATABASE IF EXISTS imp_time");
    RunResult r = run_job("imp_time", "<tables all=\"no\"><table source=\"moments\"/><table source=\"bc\"/>"
                                      "<table source=\"inf\"/><table source=\"tags\"/></tables>");
    RunResult q = run_job("imp_time", "<import type=\"query\"><query>select id, tz from moments order by id;</query>"
                                      "<table>zoned</table></import>");
    pg_run("ALTER ROLE \"" + role + "\" RESET timezone");

    EXPECT_EQ(r.exit_code, 1) << r.out;
    const char utc[] = "to_char(tz AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.US')";
    EXPECT_EQ(maria_rows("select id, date_format(d, '%Y-%m-%d'), date_format(ts, '%Y-%m-%d %H:%i:%s.%f'),"
                         " date_format(tz, '%Y-%m-%d %H:%i:%s.%f') from imp_time.moments order by id"),
              pg_rows("select id, to_char(d, 'YYYY-MM-DD'), to_char(ts, 'YYYY-MM-DD HH24:MI:SS.US'), " +
                      std::string(utc) + " from moments order by id"));
    EXPECT_NE(r.out.find("Column 'd' holds the value '0044-03-15 BC', which MariaDB cannot store.\r\nTable:bc"),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Column 'ts' holds the value 'infinity', which MariaDB cannot store.\r\nTable:inf"),
              std::string::npos) << r.out;
    EXPECT_EQ(maria_rows("select count(*) from imp_time.bc")[0], "0");
    EXPECT_EQ(maria_rows("select count(*) from imp_time.inf")[0], "0");
    EXPECT_EQ(maria_rows("select name, n from imp_time.tags order by n"), pg_rows("select name, n from tags order by n"));

    EXPECT_EQ(q.exit_code, 0) << q.out;
    EXPECT_EQ(maria_rows("select id, date_format(tz, '%Y-%m-%d %H:%i:%s.%f') from imp_time.zoned order by id"),
              pg_rows("select id, " + std::string(utc) + " from moments order by id"));
    pg_run("DROP TABLE moments, bc, inf, tags");
}

TEST_F(ImportPostgresTest, AForeignKeyToATableNotImportedIsRefusedNotLeftDangling) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_fk");
    RunResult r = run_job("imp_fk", "<tables all=\"no\"><table source=\"child\" type=\"InnoDB\"/></tables>");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Foreign key constraint is incorrectly formed\")\r\nTable:child\r\nSql: ALTER TABLE `child` "
                         "ADD FOREIGN KEY `child_parent_id_fkey`(`parent_id`)REFERENCES `parent`(`id`)"),
              std::string::npos) << r.out;
    EXPECT_EQ(show_create("imp_fk.child").find("FOREIGN KEY"), std::string::npos);
    EXPECT_EQ(maria_rows("select count(*) from imp_fk.child")[0], "2");  // the rows all the same
}

TEST_F(ImportPostgresTest, ASmallPacketAllowanceSplitsTheRowsIntoSeveralStatements) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_packets");
    const std::string packet = maria_rows("select @@global.max_allowed_packet")[0];
    mariadb_exec("SET GLOBAL max_allowed_packet = 16384");  // statements of at most 11 KB
    RunResult r = run_job("imp_packets", "<tables all=\"no\"><table source=\"queue\"/></tables>");
    mariadb_exec("SET GLOBAL max_allowed_packet = " + packet);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    // Each statement is followed by the rows sent so far.
    const std::size_t start = r.out.find("Importing table data: queue... ");
    ASSERT_NE(start, std::string::npos);
    int counts = 0;
    long last = 0;
    for (std::size_t at = r.out.find(" rows transferred!", start); at != std::string::npos;
         at = r.out.find(" rows transferred!", at + 1)) {
        const long count = std::stol(r.out.substr(r.out.rfind('\n', at) + 1));
        EXPECT_GT(count, last);
        last = count;
        ++counts;
    }
    EXPECT_GE(counts, 5) << r.out;
    EXPECT_EQ(last, 2500);
    EXPECT_EQ(maria_rows("select count(*), sum(id), sum(length(body)) from imp_packets.queue"),
              pg_rows("select count(*), sum(id), sum(length(body)) from queue"));
}

// Defaults arrive as the values they are, whatever quotes and backslashes they hold; one
// the target could not run is left out with a warning naming its column.
TEST_F(ImportPostgresTest, DefaultsArriveAsValuesOrAreLeftOutWithAWarning) {
    pg_run("DROP TABLE IF EXISTS defaults; CREATE TABLE defaults (id int PRIMARY KEY,"
           " body text DEFAULT 'it''s \\ here', made text DEFAULT lower('X'), n int DEFAULT -5);"
           "INSERT INTO defaults (id) VALUES (1)");
    mariadb_exec("DROP DATABASE IF EXISTS imp_def");
    RunResult r = run_job("imp_def",
                          "<tables all=\"no\"><table source=\"defaults\"/><table source=\"child\" target=\"tagged\">"
                          "<columns><column><source>id</source><type>int</type></column>"
                          "<column><source>&lt;ignore&gt;</source><target>tag</target><type>varchar</type>"
                          "<length>20</length><default>it's \\ 'x'</default></column></columns></table></tables>");
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("WARNING : Column `made` of table defaults: its default lower('X'::text)"), std::string::npos)
        << r.out;
    mariadb_exec("INSERT INTO imp_def.defaults (id) VALUES (2)");
    EXPECT_EQ(maria_rows("select id, body, made, n from imp_def.defaults order by id"),
              (std::vector<std::string>{"1\x1fit's \\ here\x1fx\x1f-5", "2\x1fit's \\ here\x1f~\x1f-5"}));
    EXPECT_EQ(maria_rows("select distinct tag from imp_def.tagged"), (std::vector<std::string>{"it's \\ 'x'"}));
    pg_run("DROP TABLE defaults");
}

// The connection string quotes what the job file gives: a password may hold the
// separator and braces.
TEST_F(ImportPostgresTest, APasswordHoldingSeparatorsAndBracesLogsIn) {
    const std::string password = "a;b}c{d;PWD=x";
    pg_run("DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kro_braced') THEN"
           " CREATE ROLE kro_braced LOGIN; END IF; END $$;"
           "ALTER ROLE kro_braced PASSWORD '" + password + "';"
           "GRANT USAGE ON SCHEMA public TO kro_braced; GRANT SELECT ON child TO kro_braced;");
    mariadb_exec("DROP DATABASE IF EXISTS imp_braced");
    write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                        target_element("imp_braced") + "<dsn type=\"system\"><name>" +
                                        service_value("ODBC_PG_DSN") + "</name><user>kro_braced</user><pwd>" +
                                        xml_escaped(password) + "</pwd></dsn><tables all=\"no\">"
                                        "<table source=\"child\"/></tables></odbcimport></job>");
    RunResult r = run_kro({"job.xml"}, dir.path(), odbc_env());
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(maria_rows("select count(*) from imp_braced.child")[0], "2");
}

TEST_F(ImportPostgresTest, AWrongPasswordOrAMissingDsnEndsTheJobBeforeTheTarget) {
    mariadb_exec("DROP DATABASE IF EXISTS imp_never");
    write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                        target_element("imp_never") + pg_dsn_element("wrong") +
                                        "<tables all=\"yes\"/></odbcimport></job>");
    RunResult r = run_kro({"job.xml"}, dir.path(), odbc_env());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nERROR: "), std::string::npos);
    EXPECT_NE(r.out.find("password authentication failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nERROR: Import aborted..."), std::string::npos);
    EXPECT_NE(read_file(dir.file("krosession.xml")).find("password authentication failed"), std::string::npos);

    write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><odbcimport>" +
                                        target_element("imp_never") +
                                        "<dsn type=\"system\"><name>no_such_dsn</name></dsn>"
                                        "<tables all=\"yes\"/></odbcimport></job>");
    r = run_kro({"job.xml"}, dir.path(), odbc_env());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Data source name not found"), std::string::npos) << r.out;
    EXPECT_TRUE(maria_rows("show databases like 'imp_never'").empty());
}

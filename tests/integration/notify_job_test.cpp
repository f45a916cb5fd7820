#include <gtest/gtest.h>

#include <string>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"

namespace {

int count_of(const std::string& text, const std::string& piece) {
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

struct NotifyOptions {
    std::string query;
    std::string switches = "<includequery value=\"yes\"/><includemsg value=\"yes\"/>";
    std::string password = service_value("MARIADB_PASSWORD");
};

// A notification job against the private MariaDB and the plain SMTP sink.
class NotifyJobTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mariadb_exec(
            "DROP DATABASE IF EXISTS notify_db; CREATE DATABASE notify_db CHARACTER SET utf8mb4;"
            "CREATE TABLE notify_db.t (id INT PRIMARY KEY, name VARCHAR(50), note TEXT);"
            "INSERT INTO notify_db.t VALUES (1, 'Alice', NULL), (2, '', 'second'),"
            " (3, '<b>&''\"x', 'caf\xC3\xA9 \xF0\x9F\x98\x80');"
            "CREATE TABLE notify_db.n (id INT);");
    }

    RunResult run_job(const NotifyOptions& o) {
        write_file(dir.file("job.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + job_text(o));
        return run_kro({"job.xml"}, dir.path());
    }

    std::string job_text(const NotifyOptions& o) {
        return "<job><notifyjob>"
            "<source><host>127.0.0.1</host><port>" + service_value("MARIADB_PORT") +
            "</port><user>" + service_value("MARIADB_USER") + "</user><pwd>" + xml_escaped(o.password) +
            "</pwd><database>notify_db</database></source>"
            "<smtp><displayname>kro reports</displayname><fromemail>kro@example.test</fromemail>"
            "<host>" + service_value("SMTP_HOST") + "</host><port>" + service_value("SMTP_PORT") +
            "</port><toemail>" + token + "@example.test</toemail><subject>Daily figures</subject></smtp>"
            "<query>" + xml_escaped(o.query) + "</query>" + o.switches +
            "</notifyjob></job>";
    }

    std::string session() { return read_file(dir.file("krosession.xml")); }

    TempDir dir;
    std::string token = unique_mail_token("notify");
};

}  // namespace

TEST_F(NotifyJobTest, SelectsBecomeTablesAndAnUpdateAddsNothing) {
    RunResult r = run_job({"select id, name, note from t order by id;;\n"
                           "update t set note = note where id = 1;\n"
                           "select count(*) as total from t;\n"
                           "select id from t where id < 0"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(count_of(r.out, "Query execution successful\n"), 4);
    EXPECT_NE(r.out.find("Mail sent successfully\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("Total time taken - "), std::string::npos);
    EXPECT_EQ(session(), "<krosession><errors></errors></krosession>");

    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    const std::string& plain = mail.parts[0];
    const std::string& html = mail.parts[1];
    EXPECT_EQ(mail.header("Subject"), "Daily figures");
    EXPECT_EQ(count_of(html, "<table border=1 width='100%' cellspacing='0' cellpadding='1'>"), 2);
    EXPECT_NE(html.find("<tr><td class=\"topheaderfirst\">id</td><td class=\"topheader\">name</td>"
                        "<td class=\"topheader\">note</td></tr>"),
              std::string::npos);
    // NULL in a later column, an empty value, and the first column's own class.
    EXPECT_NE(html.find("<tr><td  class=\"datacolsfirst\">1</td><td  class=\"datacols\">Alice</td>"
                        "<td class=\"datacols\">NULL</td></tr>"),
              std::string::npos);
    EXPECT_NE(html.find("<td  class=\"datacolsfirst\">2</td><td class=\"datacols\">&nbsp;</td>"), std::string::npos);
    EXPECT_NE(html.find("(3 row(s)returned)"), std::string::npos);
    EXPECT_NE(html.find("(1 row(s)returned)"), std::string::npos);
    EXPECT_NE(html.find("(0 row(s)returned)"), std::string::npos);
    EXPECT_EQ(html.find("update t"), std::string::npos);
    EXPECT_NE(html.find("Query: select count(*) as total from t"), std::string::npos);
    // The plain body: tab-separated rows, NULL and empty values spelled out.
    EXPECT_NE(plain.find("id\tname\tnote\t\n1\tAlice\tNULL\t\n2\t \tsecond\t\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("total\t\n3\t\n"), std::string::npos);
}

TEST_F(NotifyJobTest, MarkupAndFourByteCharactersArriveIntact) {
    RunResult r = run_job({"select name, note from t where id = 3"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_NE(mail.parts[1].find("<td  class=\"datacolsfirst\">&lt;b&gt;&amp;&#39;&quot;x</td>"), std::string::npos)
        << mail.parts[1];
    EXPECT_NE(mail.parts[1].find("caf\xC3\xA9 \xF0\x9F\x98\x80"), std::string::npos);
    EXPECT_NE(mail.parts[0].find("<b>&'\"x\tcaf\xC3\xA9 \xF0\x9F\x98\x80\t"), std::string::npos) << mail.parts[0];
}

TEST_F(NotifyJobTest, ResultNoRunsEverythingAndSendsNothing) {
    mariadb_exec("DELETE FROM notify_db.n");
    NotifyOptions o{"insert into n values (1); insert into n values (2); select * from n"};
    o.switches = "<result value=\"no\"/>";
    RunResult r = run_job(o);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(mariadb_value("select count(*) from notify_db.n"), "2");
    EXPECT_TRUE(no_stored_mail(token));
}

TEST_F(NotifyJobTest, AbortOnErrorStopsAtTheFirstFailingStatementWithoutMail) {
    mariadb_exec("DELETE FROM notify_db.n");
    NotifyOptions o{"select 1; select * from missing_table; insert into n values (7)"};
    o.switches = "<abortonerror value=\"yes\"/>";
    RunResult r = run_job(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Table 'notify_db.missing_table' doesn't exist\r\n\nCheck kro.log for complete error details.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(session(),
              "<krosession><errors><error>Table 'notify_db.missing_table' doesn't exist</error></errors></krosession>");
    EXPECT_NE(read_file(dir.file("kro.log")).find("Table 'notify_db.missing_table' doesn't exist\r\n"),
              std::string::npos);
    EXPECT_EQ(mariadb_value("select count(*) from notify_db.n"), "0");
    EXPECT_TRUE(no_stored_mail(token));
}

TEST_F(NotifyJobTest, WithoutAbortTheErrorIsMailedAndTheNextStatementRuns) {
    RunResult r = run_job({"select * from missing_table; select 'after' as step"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(session().find("<error>Table 'notify_db.missing_table' doesn't exist</error>"), std::string::npos)
        << session();
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_NE(mail.parts[1].find("<p class=\"error\">Table &#39;notify_db.missing_table&#39; doesn&#39;t exist<br><br>"),
              std::string::npos)
        << mail.parts[1];
    EXPECT_NE(mail.parts[1].find(">after</td>"), std::string::npos);
    EXPECT_NE(mail.parts[0].find(" Table 'notify_db.missing_table' doesn't exist\n\n"), std::string::npos);
}

TEST_F(NotifyJobTest, AProcedureFailingAfterItsFirstResultIsAFailedStatement) {
    mariadb_exec("DELETE FROM notify_db.n; DROP PROCEDURE IF EXISTS notify_db.half;"
                 "CREATE PROCEDURE notify_db.half() BEGIN SELECT 'first' AS step;"
                 " SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'half done'; END");
    NotifyOptions o{"call half(); insert into n values (7)"};
    o.switches = "<abortonerror value=\"yes\"/>";
    RunResult r = run_job(o);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(session(), "<krosession><errors><error>half done</error></errors></krosession>");
    EXPECT_EQ(mariadb_value("select count(*) from notify_db.n"), "0");
    EXPECT_TRUE(no_stored_mail(token));
}

TEST_F(NotifyJobTest, ManyRowsAndALargeValue) {
    RunResult r = run_job({"select seq, repeat('v', 20) from seq_1_to_5000;\n"
                           "select length(repeat('x', 10485760)) as len, repeat('x', 10485760) as big"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_NE(mail.parts[1].find("(5000 row(s)returned)"), std::string::npos);
    EXPECT_NE(mail.parts[0].find("\n4999\tvvvvvvvvvvvvvvvvvvvv\t\n5000\t"), std::string::npos);
    EXPECT_NE(mail.parts[0].find("10485760\t" + std::string(10485760, 'x') + "\t\n"), std::string::npos);
}

TEST_F(NotifyJobTest, AMailOfTensOfThousandsOfRowsCarriesExactlyTheRowsSent) {
    // Megabytes of mail, encoded while they are sent: every row arrives once, in order, in
    // both bodies, with values that the encoding and the HTML both change.
    const int rows = 30000;
    RunResult r = run_job({"select seq as n, concat('r', seq, ' = caf\xC3\xA9 <', seq % 7, '>  ') as v from seq_1_to_" +
                           std::to_string(rows)});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    std::string plain = "n\tv\t\n";
    std::string html = "<table border=1 width='100%' cellspacing='0' cellpadding='1'><tr>"
                       "<td class=\"topheaderfirst\">n</td><td class=\"topheader\">v</td></tr>";
    for (int i = 1; i <= rows; ++i) {
        const std::string n = std::to_string(i);
        const std::string mod = std::to_string(i % 7);
        plain += n + "\tr" + n + " = caf\xC3\xA9 <" + mod + ">  \t\n";
        html += "<tr><td  class=\"datacolsfirst\">" + n + "</td><td  class=\"datacols\">r" + n + " = caf\xC3\xA9 &lt;" +
                mod + "&gt;  </td></tr>";
    }
    plain += "\n (" + std::to_string(rows) + " row(s)returned)";
    html += "</table><br><font face='Verdana' size=2>(" + std::to_string(rows) + " row(s)returned)";

    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_EQ(mail.meta["defects"], "0");
    EXPECT_NE(mail.parts[0].find(plain), std::string::npos) << "the plain table differs";
    EXPECT_NE(mail.parts[1].find(html), std::string::npos) << "the HTML table differs";
    EXPECT_EQ(count_of(mail.parts[1], "<tr>"), rows + 1);
}

TEST_F(NotifyJobTest, FailedLoginIsReportedAndEndsWithExitCodeOne) {
    NotifyOptions o{"select 1"};
    o.password = "wrong password";
    RunResult r = run_job(o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("\r\nERROR: 1045, Access denied for user"), std::string::npos) << r.out;
    EXPECT_EQ(session().rfind("<krosession><errors><error>\r\nERROR: 1045, Access denied", 0), 0u) << session();
    EXPECT_TRUE(no_stored_mail(token));
}

TEST_F(NotifyJobTest, ValidationNamesTheFirstMissingSetting) {
    RunResult r = run_job({" \n\t "});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("You should specify atleast one query\r\n"), std::string::npos);
    EXPECT_EQ(session(), "<krosession><errors><error>You should specify atleast one query\r\n</error></errors></krosession>");
    EXPECT_EQ(r.out.find("Job started at"), std::string::npos);
}

TEST_F(NotifyJobTest, ALostSessionFailsEveryLaterStatementAndCommitsNothing) {
    mariadb_exec("CREATE TABLE notify_db.acct (id INT PRIMARY KEY, v INT) ENGINE=InnoDB;"
                 "INSERT INTO notify_db.acct VALUES (1, 10), (2, 20)");
    RunResult r = run_job({"start transaction; update acct set v = v - 5 where id = 1; kill connection_id();\n"
                           "update acct set v = v + 5 where id = 2; commit; select 'after' as s"});
    const std::string balances = mariadb_value("select group_concat(v order by id) from notify_db.acct");
    mariadb_exec("DROP TABLE notify_db.acct");
    // No new session carries on half a transaction: the job fails and nothing is committed.
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(balances, "10,20");
    const std::string entries = session();
    std::size_t errors = 0;
    for (std::size_t at = entries.find("<error>"); at != std::string::npos; at = entries.find("<error>", at + 1)) ++errors;
    EXPECT_EQ(errors, 4u) << entries;  // the kill, then the three statements after it
    EXPECT_NE(entries.find("<error>Connection was killed</error>"), std::string::npos) << entries;
    // The results so far are mailed all the same, with what was not run.
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    const std::string& plain = mail.parts[0];
    EXPECT_NE(plain.find("Not run: the connection to the server was lost"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("after\t"), std::string::npos) << plain;
}

TEST_F(NotifyJobTest, AJobFileWithoutDeclarationMeansTheSameUnderCronAsInItsOwnLocale) {
    // The same statement, once as UTF-8 bytes run as cron runs it (no environment at all,
    // so the C locale), once as Latin-1 bytes in a Latin-1 locale: the server gets "Björn".
    const std::string query = "select hex('Bj\xC3\xB6rn') as h";
    write_file(dir.file("job.xml"), job_text({query}));
    RunResult cron = run_program("/usr/bin/env", {"-i", "HOME=" + dir.path(), KRO_BINARY, "job.xml"}, dir.path());
    EXPECT_EQ(cron.exit_code, 0) << cron.out;
    StoredMail first;
    ASSERT_TRUE(fetch_stored_mail(token, first));
    EXPECT_NE(first.parts[0].find("426AC3B6726E"), std::string::npos) << first.parts[0];

    TempDir locales;
    ASSERT_EQ(run_program("/usr/bin/localedef", {"-i", "de_DE", "-f", "ISO-8859-1", locales.file("de_DE.ISO-8859-1")},
                          locales.path()).exit_code, 0);
    token = unique_mail_token("notify");
    write_file(dir.file("latin.xml"), job_text({"select hex('Bj\xF6rn') as h"}));
    RunResult latin = run_kro({"latin.xml"}, dir.path(), {"LOCPATH=" + locales.path(), "LC_ALL=de_DE.ISO-8859-1"});
    EXPECT_EQ(latin.exit_code, 0) << latin.out;
    StoredMail second;
    ASSERT_TRUE(fetch_stored_mail(token, second));
    EXPECT_NE(second.parts[0].find("426AC3B6726E"), std::string::npos) << second.parts[0];
}

TEST_F(NotifyJobTest, AnUnreachableHttpTunnelIsReportedLikeAnyConnectionFailure) {
    std::string job = job_text({"select 1"});
    job.replace(job.find("</source>"), 9,
                "<tunnelinfo type=\"http\"><url>http://127.0.0.1:1/VelmarTunnel.php</url></tunnelinfo></source>");
    write_file(dir.file("job.xml"), job);
    RunResult r = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.out;
    // Console with its check line, log and session file, as for a refused direct connect.
    const std::string entries = session();
    const std::size_t open = entries.find("<error>");
    ASSERT_NE(open, std::string::npos) << entries;
    const std::string error = entries.substr(open + 7, entries.find("</error>") - open - 7);
    EXPECT_FALSE(error.empty());
    EXPECT_NE(r.out.find(error + "\nCheck kro.log for complete error details."), std::string::npos) << r.out;
    EXPECT_NE(read_file(dir.file("kro.log")).find(error), std::string::npos);
}

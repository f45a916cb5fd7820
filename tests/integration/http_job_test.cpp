// A whole job through the HTTP tunnel: the notification job run once directly and once
// through the tunnel script (plain HTTP and HTTPS) mails the same tables.
#include <gtest/gtest.h>

#include <string>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "stored_mail.h"

namespace {

std::string notify_job(const std::string& tunnelinfo, const std::string& token) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><notifyjob>"
           "<source><host>127.0.0.1</host><port>" + service_value("MARIADB_PORT") + "</port><user>" +
           service_value("MARIADB_USER") + "</user><pwd>" + service_value("MARIADB_PASSWORD") +
           "</pwd><database>kro_http_job</database>" + tunnelinfo + "</source>"
           "<smtp><displayname>kro</displayname><fromemail>kro@example.test</fromemail><host>" + service_value("SMTP_HOST") + "</host><port>" +
           service_value("SMTP_PORT") + "</port><toemail>" + token + "@example.test</toemail>"
           "<subject>Figures</subject></smtp>"
           "<query>select id, name, data, note from t order by id;\nupdate t set note = note;\n"
           "select count(*) as total from t</query><includequery value=\"yes\"/><includemsg value=\"yes\"/>"
           "</notifyjob></job>";
}

// The exit code and the mail's plain and HTML bodies, from the first table on (before it: times of the run).
std::string mailed_tables(const std::string& tunnelinfo) {
    TempDir dir;
    std::string token = unique_mail_token("http-job");
    write_file(dir.file("job.xml"), notify_job(tunnelinfo, token));
    RunResult r = run_kro({"job.xml"}, dir.path());
    StoredMail mail;
    if (!fetch_stored_mail(token, mail) || mail.parts.size() != 2) return "no mail: " + r.out;
    std::string both = mail.parts[0] + "\n----\n" + mail.parts[1];
    std::size_t at = both.find("Query:");
    return "exit code " + std::to_string(r.exit_code) + "\n" + (at == std::string::npos ? both : both.substr(at));
}

class HttpJobTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mariadb_exec("drop database if exists kro_http_job; create database kro_http_job character set utf8mb4;"
                     "create table kro_http_job.t (id int primary key, name varchar(40), data blob, note text);"
                     "insert into kro_http_job.t values (1, '<b>&amp;', x'41004243', null), (2, '', '', 'caf\xC3\xA9 "
                     "\xF0\x9F\x98\x80'), (3, 'plain', null, '')");
    }
};

}  // namespace

TEST_F(HttpJobTest, ANotificationJobMailsTheSameTablesDirectlyAndThroughTheTunnel) {
    std::string direct = mailed_tables("");
    ASSERT_NE(direct.find("(1 row(s)returned)"), std::string::npos) << direct;
    EXPECT_EQ(mailed_tables("<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") +
                            "</url></tunnelinfo>"),
              direct);
    EXPECT_EQ(mailed_tables("<tunnelinfo type=\"http\"><url>" + service_value("HTTP_AUTH_TUNNEL_URL") +
                            "</url><timeout>20</timeout><encodedata>1</encodedata><httpauth user=\"" +
                            service_value("HTTP_AUTH_USER") + "\" pwd=\"" + service_value("HTTP_AUTH_PASSWORD") +
                            "\"/></tunnelinfo>"),
              direct);
}

TEST_F(HttpJobTest, AFailingStatementThroughTheTunnelDoesNotStopTheNextOne) {
    TempDir dir;
    std::string token = unique_mail_token("http-job-error");
    std::string job = notify_job("<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") +
                                     "</url></tunnelinfo>",
                                 token);
    job.replace(job.find("select id, name"), 0, "select * from no_such_table;\n");
    write_file(dir.file("job.xml"), job);
    RunResult r = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(read_file(dir.file("krosession.xml")).find("no_such_table' doesn't exist</error>"), std::string::npos);
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_NE(mail.parts[1].find("<p class=\"error\">Table &#39;kro_http_job.no_such_table&#39; doesn&#39;t exist"),
              std::string::npos)
        << mail.parts[1];
    EXPECT_NE(mail.parts[1].find("(1 row(s)returned)"), std::string::npos);
}

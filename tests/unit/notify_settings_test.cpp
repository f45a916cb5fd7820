#include <gtest/gtest.h>

#include <string>

#include <tinyxml2.h>

#include "notify/notify_settings.h"

using namespace kro::notify;

namespace {

NotifyJob read_job(const std::string& children) {
    tinyxml2::XMLDocument doc;
    std::string xml = "<notifyjob><source><host>h</host><port>3306</port><user>u</user>"
                      "<database>d</database></source><query>select 1</query>" + children + "</notifyjob>";
    EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    NotifyJob job;
    read_notify_job(doc.FirstChildElement(), job, 1);
    return job;
}

// Runs the validation with the console captured; gives what it printed.
std::string validate(const NotifyJob& job, int* result) {
    testing::internal::CaptureStdout();
    *result = validate_notify_job(job);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(NotifySettings, SwitchesAreReadFromTheFirstAttributeWhateverItsName) {
    NotifyJob defaults = read_job("");
    EXPECT_EQ(defaults.abort_on_error, 0);
    EXPECT_EQ(defaults.send_result, 1);
    EXPECT_EQ(defaults.include_query, 0);
    EXPECT_EQ(defaults.include_msg, 1);

    NotifyJob on = read_job("<abortonerror x=\"YES\"/><result v=\"No\"/><includequery a=\"yes\"/><includemsg b=\"no\"/>");
    EXPECT_EQ(on.abort_on_error, 1);
    EXPECT_EQ(on.send_result, 0);
    EXPECT_EQ(on.include_query, 1);
    EXPECT_EQ(on.include_msg, 0);

    NotifyJob odd = read_job("<abortonerror>yes</abortonerror><result value=\"maybe\"/><includemsg/>");
    EXPECT_EQ(odd.abort_on_error, 0);  // the element's text does not count here
    EXPECT_EQ(odd.send_result, 1);
    EXPECT_EQ(odd.include_msg, 0);
    EXPECT_EQ(odd.source.port, 3306);
    EXPECT_EQ(odd.query.str(), "select 1");
}

TEST(NotifySettings, ValidationReportsTheFirstGapInOrder) {
    int ok = 0;
    NotifyJob job = read_job("<smtp><host>mail</host><displayname>kro</displayname><toemail>a@b</toemail></smtp>");
    std::string out = validate(job, &ok);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(out.rfind("WARNING : No subject for email provided.\r\n", 0), 0u) << out;

    job.mail.use_auth = 1;
    out = validate(job, &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_NE(out.find("WARNING : No subject"), std::string::npos);
    EXPECT_NE(out.find("Please specify an LOGIN NAME for authorization\r\n"), std::string::npos);

    NotifyJob no_mail = read_job("<result value=\"no\"/>");
    EXPECT_TRUE(validate(no_mail, &ok).empty());
    EXPECT_EQ(ok, 1);

    no_mail.source.use_http = 1;
    EXPECT_EQ(validate(no_mail, &ok).rfind("Please specify a HTTP tunneling URL\r\n", 0), 0u);
    no_mail.source.use_http = 0;
    no_mail.source.use_ssh = 1;
    EXPECT_EQ(validate(no_mail, &ok).rfind("Please specify the SSH server host.\r\n", 0), 0u);

    no_mail.source.port = 0;
    EXPECT_EQ(validate(no_mail, &ok).rfind("Source SERVER information not complete (<port> is missing)\r\n", 0), 0u);
    EXPECT_EQ(ok, 0);
}

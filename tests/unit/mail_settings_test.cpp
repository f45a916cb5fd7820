// Reading the smtp and sendreport elements, and the Mailer's fill rules.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include <tinyxml2.h>

#include "mail/mail_settings.h"
#include "mail/mailer.h"
#include "report/report_body.h"

using namespace kro::report;
using namespace kro::mail;

namespace {

MailSettings read_smtp(const char* xml, int values_are_utf8 = 1) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(xml), tinyxml2::XML_SUCCESS);
    MailSettings s;
    read_mail_settings(doc.RootElement(), s, values_are_utf8);
    return s;
}

std::string date_text(bool with_time) {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[64];
    if (with_time)
        std::snprintf(buf, sizeof buf, "%d:%d:%d %d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec);
    else
        std::snprintf(buf, sizeof buf, "%d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return buf;
}

}  // namespace

TEST(MailSettingsReader, ReadsEveryKeyWithoutRegardToCase) {
    MailSettings s = read_smtp(
        "<smtp><DisplayName>Kro Agent</DisplayName><TOEMAIL>a@x.org, b@x.org</TOEMAIL>"
        "<fromemail>kro@x.org</fromemail><cc>c@x.org</cc><bcc>d@x.org</bcc>"
        "<replyemail>r@x.org</replyemail><host>mail.x.org</host><port>2525</port>"
        "<subject>Nightly</subject><encryption>tls</encryption>"
        "<Auth anything=\"YES\"><user>me@x.org</user><pwd>pw</pwd></Auth></smtp>");
    EXPECT_EQ(s.display_name, "Kro Agent");
    EXPECT_EQ(s.to_email, "a@x.org, b@x.org");
    EXPECT_EQ(s.from_email, "kro@x.org");
    EXPECT_EQ(s.cc, "c@x.org");
    EXPECT_EQ(s.bcc, "d@x.org");
    EXPECT_EQ(s.reply_to, "r@x.org");
    EXPECT_EQ(s.host, "mail.x.org");
    EXPECT_EQ(s.port, "2525");
    EXPECT_EQ(s.subject, "Nightly");
    EXPECT_EQ(s.encryption, "tls");
    EXPECT_EQ(s.use_auth, 1);
    EXPECT_EQ(s.user, "me@x.org");
    EXPECT_EQ(s.password, "pw");
}

TEST(MailSettingsReader, UnknownElementEndsTheReading) {
    MailSettings s = read_smtp("<smtp><toemail>a@x.org</toemail><server>x</server><host>h</host></smtp>");
    EXPECT_EQ(s.to_email, "a@x.org");
    EXPECT_FALSE(s.host);
    bool no_subject = false;
    EXPECT_STREQ(missing_mail_setting(s, &no_subject), "Please specify your SMTP host address\r\n");
}

TEST(MailSettingsReader, AuthWithoutYesIsSkippedAndEmptyElementsStayUnset) {
    MailSettings s = read_smtp(
        "<smtp><auth enabled=\"no\" x=\"yes\"><user>u</user></auth><host/><subject></subject>"
        "<port>26</port></smtp>");
    EXPECT_EQ(s.use_auth, 0);
    EXPECT_FALSE(s.user);
    EXPECT_FALSE(s.host);
    EXPECT_FALSE(s.subject);
    EXPECT_EQ(s.port, "26");
}

TEST(MailSettingsReader, TextsInTheLocaleCharsetBecomeUtf8) {
    // Without an XML declaration the texts are in the locale's charset (UTF-8 in the C locale).
    MailSettings s = read_smtp("<smtp><displayname>Ren\xC3\xA9 \xE9</displayname></smtp>", 0);
    EXPECT_EQ(s.display_name, "Ren\xC3\xA9 ?");
}

TEST(MailSettingsChecks, FirstMissingSettingInOrderAndTheSubjectWarning) {
    MailSettings s;
    bool no_subject = true;
    EXPECT_STREQ(missing_mail_setting(s, &no_subject), "Please specify your SMTP host address\r\n");
    EXPECT_FALSE(no_subject);
    s.host = "h";
    EXPECT_STREQ(missing_mail_setting(s, &no_subject), "Please specify EMAIL FROM name\r\n");
    s.display_name = "n";
    EXPECT_STREQ(missing_mail_setting(s, &no_subject), "You should provide TO email address\r\n");
    s.to_email = "t@x.org";
    s.use_auth = 1;
    EXPECT_STREQ(missing_mail_setting(s, &no_subject), "Please specify an LOGIN NAME for authorization\r\n");
    EXPECT_TRUE(no_subject);
    s.user = "u";
    s.subject = "s";
    EXPECT_EQ(missing_mail_setting(s, &no_subject), nullptr);
    EXPECT_FALSE(no_subject);
}

TEST(ReportRequestReader, FirstAttributeOfAnyNameAndWhenAlwaysWithoutCase) {
    tinyxml2::XMLDocument doc;
    doc.Parse("<sendreport value=\"YES\" when=\"ALWAYS\"><smtp><host>h</host></smtp></sendreport>");
    ReportRequest r;
    read_report_request(doc.RootElement(), r, 1);
    EXPECT_EQ(r.send_report, 1);
    EXPECT_EQ(r.report_always, 1);
    EXPECT_EQ(r.mail.host, "h");

    doc.Parse("<sendreport when=\"always\" value=\"yes\"/>");
    ReportRequest off;
    read_report_request(doc.RootElement(), off, 1);
    EXPECT_EQ(off.send_report, 0);  // the first attribute is "when"
    EXPECT_EQ(off.report_always, 1);
}

TEST(MailerFill, DefaultsAndCopiedFields) {
    MailSettings s;
    s.host = "mail.x.org";
    s.from_email = "kro@x.org";
    s.to_email = "a@x.org";
    s.bcc = "b@x.org";
    s.use_auth = 1;
    s.user = "me@x.org";
    s.password = "pw";
    ReportBody body;
    body.append("<b>x</b>", "a=b");
    Mailer m;
    m.fill(s, body);
    EXPECT_EQ(m.port, 25);
    EXPECT_EQ(m.host.str(), "mail.x.org");
    EXPECT_EQ(m.blind_copies.str(), "b@x.org");
    EXPECT_TRUE(m.copies.empty());
    EXPECT_TRUE(m.subject.empty());
    EXPECT_EQ(m.use_auth, 1);
    EXPECT_EQ(m.user.str(), "me@x.org");
    // The bodies are taken as they are and encoded while the message is sent.
    EXPECT_EQ(m.plain_body, "a=b");
    EXPECT_EQ(m.html_body, "<b>x</b>");
    s.port = "587";
    m.fill(s, body);
    EXPECT_EQ(m.port, 587);
}

TEST(MailerFill, EncryptionWords) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "notls"}, {"no", "notls"}, {"NO", "notls"}, {"Tls", "tls"},
        {"SSL", "ssl"},     {"starttls", ""}, {"", ""},       {"yes", ""}};
    for (const auto& [word, expected] : cases) {
        MailSettings s;
        if (word) s.encryption = word;
        Mailer m;
        m.fill(s, ReportBody{});
        EXPECT_EQ(m.encryption.str(), expected) << (word ? word : "(absent)");
    }
}

TEST(MailerFill, SubjectDateRule) {
    auto filled = [](const char* subject) {
        MailSettings s;
        s.subject = subject;
        Mailer m;
        m.fill(s, ReportBody{});
        return m.subject.str();
    };
    // A clock tick between the two readings may change the expected text: accept either.
    std::string before = date_text(false);
    std::string got = filled("YYYY-MM-DD");
    EXPECT_TRUE(got == before || got == date_text(false)) << got;
    before = date_text(true);
    got = filled("yyyy-mm-dd HH:MM:SS");
    EXPECT_TRUE(got == before || got == date_text(true)) << got;
    EXPECT_EQ(filled("YYYY-MM-DD "), "YYYY-MM-DD ");
    EXPECT_EQ(filled("Report yyyy-mm-dd"), "Report yyyy-mm-dd");
}

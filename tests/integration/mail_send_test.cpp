// The Mailer against the private SMTP sink: what arrives is read back with Python's
// email package, so the MIME layout is checked by a real parser.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "kro_test_support.h"
#include "mail/mail_settings.h"
#include "mail/mailer.h"
#include "report/report_body.h"
#include "stored_mail.h"

using namespace kro::report;
using namespace kro::mail;

namespace {

// Settings for the plain sink with one unique recipient; tests change what they need.
MailSettings sink_settings(const std::string& token, const std::string& port_key = "SMTP_PORT") {
    MailSettings s;
    s.host = service_value("SMTP_HOST");
    s.port = service_value(port_key);
    s.display_name = "Nightly Kro";
    s.from_email = "kro@example.com";
    s.to_email = token + "@example.com";
    s.subject = "kro report";
    return s;
}

struct SendResult {
    int ok;
    std::string error;
    std::string console;
};

SendResult send(const MailSettings& settings, const ReportBody& body, long reply_timeout = 60) {
    Mailer mailer;
    mailer.fill(settings, body);
    mailer.reply_timeout = reply_timeout;
    testing::internal::CaptureStdout();
    int ok = mailer.send();
    std::string console = testing::internal::GetCapturedStdout();
    return {ok, mailer.error_text.str(), console};
}

std::string lf_line_ends(std::string text) {
    for (std::size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p)) text.erase(p, 1);
    return text;
}

// A TCP socket bound to a free port of 127.0.0.1 (*port; 0 on failure), listening or not.
int loopback_socket(bool listening, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              (!listening || listen(fd, 4) == 0) &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    *port = ok ? ntohs(addr.sin_port) : 0;
    return fd;
}

ReportBody simple_body() {
    ReportBody body;
    body.append("<p>done</p>", "done");
    return body;
}

}  // namespace

TEST(MailSend, MessageIsTwoPartAlternativeWhoseBodiesDecodeToTheReportTexts) {
    std::string token = unique_mail_token("layout");
    ReportBody body;
    std::string long_line(200, 'x');
    std::string plain = "First line with = sign and trailing blanks   \r\n" + long_line +
                        "\r\n.a line starting with a dot\r\nUTF-8: Grüße, 日本語 ✓\r\n"
                        "bare\nline feed, tab\there, junk \x01\x7f\xff\xfe bytes \r\nend ";
    std::string html = "<html><p class=\"text\">" + long_line + " = " + "</p>\r\n.</html>";
    body.append(html.c_str(), plain.c_str());

    SendResult r = send(sink_settings(token), body);
    ASSERT_EQ(r.ok, 1) << r.console;

    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_EQ(mail.meta["content_type"], "multipart/alternative");
    EXPECT_EQ(mail.meta["defects"], "0");
    ASSERT_EQ(mail.meta["part_count"], "2");
    EXPECT_EQ(mail.meta["part0.content_type"], "text/plain");
    EXPECT_EQ(mail.meta["part1.content_type"], "text/html");
    for (const char* p : {"part0", "part1"}) {
        EXPECT_EQ(mail.meta[std::string(p) + ".charset"], "utf-8");
        EXPECT_EQ(mail.meta[std::string(p) + ".cte"], "quoted-printable");
    }
    // Each body carries the line breaks that close it in the message. The parser gives
    // line breaks as "\n".
    EXPECT_EQ(mail.parts[0], lf_line_ends(plain + "\r\n\r\n"));
    EXPECT_EQ(mail.parts[1], lf_line_ends(html + "\r\n\r\n"));
    // On the wire: CR LF line ends only, no line over 76 characters in the bodies.
    std::size_t start = 0;
    while (start < mail.raw.size()) {
        std::size_t end = mail.raw.find("\r\n", start);
        ASSERT_NE(end, std::string::npos) << "bare line end or unterminated last line";
        std::string line = mail.raw.substr(start, end - start);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        if (line.rfind("Subject:", 0) != 0 && line.rfind("Content-Type: multipart", 0) != 0) {
            EXPECT_LE(line.size(), 76u) << line;
        }
        start = end + 2;
    }
}

TEST(MailSend, RecipientsIncludeCopiesAndBlindCopiesButNoBccHeader) {
    std::string token = unique_mail_token("rcpt");
    MailSettings s = sink_settings(token);
    s.to_email = "Ann Example <ann-" + token + "@example.com>, bob-" + token + "@example.com";
    s.cc = "\"Doe, Carl\" <carl-" + token + "@example.com>";
    s.bcc = "dora-" + token + "@example.com (hidden)";
    s.reply_to = "Replies <replies@example.com>";
    s.subject = "Bericht für Müller – 日本語 with a subject long enough to need more than one encoded word";

    SendResult r = send(s, simple_body());
    ASSERT_EQ(r.ok, 1) << r.console;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));

    std::vector<std::string> expected = {"ann-" + token + "@example.com", "bob-" + token + "@example.com",
                                         "carl-" + token + "@example.com", "dora-" + token + "@example.com"};
    EXPECT_EQ(mail.recipients, expected);
    EXPECT_EQ(mail.meta["mail_from"], "kro@example.com");
    EXPECT_EQ(mail.header("Subject"), *s.subject);
    EXPECT_EQ(mail.header("Return-Path"), "<kro@example.com>");
    EXPECT_EQ(mail.header("MIME-Version"), "1.0");
    EXPECT_EQ(mail.header_count("Date"), 1);
    EXPECT_EQ(mail.header_count("Message-ID"), 1);
    EXPECT_EQ(mail.header_count("Bcc"), 0);
    EXPECT_EQ(mail.raw.find("dora-"), std::string::npos);

    auto has = [&](const char* field, const std::string& name, const std::string& addr) {
        for (const auto& a : mail.addresses)
            if (a.field == field && a.display_name == name && a.address == addr) return true;
        return false;
    };
    EXPECT_TRUE(has("From", "Nightly Kro", "kro@example.com"));
    EXPECT_TRUE(has("To", "Ann Example", "ann-" + token + "@example.com"));
    EXPECT_TRUE(has("To", "", "bob-" + token + "@example.com"));
    EXPECT_TRUE(has("Cc", "Doe, Carl", "carl-" + token + "@example.com"));
    EXPECT_TRUE(has("Reply-To", "Replies", "replies@example.com"));
}

TEST(MailSend, DateSubjectIsReplacedBeforeSending) {
    std::string token = unique_mail_token("date");
    MailSettings s = sink_settings(token);
    s.subject = "YYYY-MM-DD";
    Mailer probe;
    probe.fill(s, simple_body());
    ASSERT_EQ(send(s, simple_body()).ok, 1);
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_EQ(mail.header("Subject"), probe.subject.str());
    EXPECT_NE(mail.header("Subject").find(':'), std::string::npos);
}

TEST(MailSend, LogsInWithAUserNameContainingAt) {
    std::string token = unique_mail_token("auth");
    MailSettings s = sink_settings(token, "SMTP_AUTH_PORT");
    s.use_auth = 1;
    s.user = service_value("SMTP_AUTH_USER");
    s.password = service_value("SMTP_AUTH_PASSWORD");
    ASSERT_NE(s.user->find('@'), std::string::npos);
    SendResult r = send(s, simple_body());
    ASSERT_EQ(r.ok, 1) << r.console;
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_EQ(mail.meta["variant"], "auth");
    EXPECT_EQ(mail.meta["auth_login"], *s.user);
}

TEST(MailSend, RefusedOrMissingLoginCannotConnect) {
    std::string token = unique_mail_token("badauth");
    MailSettings s = sink_settings(token, "SMTP_AUTH_PORT");
    s.use_auth = 1;
    s.user = service_value("SMTP_AUTH_USER");
    s.password = "wrong";
    SendResult r = send(s, simple_body());
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Can't connect to SMTP server!");
    EXPECT_NE(r.console.find("\n"), std::string::npos);  // the transport's own reason
    EXPECT_NE(r.console.find("535"), std::string::npos) << r.console;
    EXPECT_TRUE(no_stored_mail(token));

    // A server that offers no login at all does not get the mail without one either.
    std::string plain_token = unique_mail_token("noauth");
    MailSettings plain = sink_settings(plain_token, "SMTP_PORT");
    plain.use_auth = 1;
    plain.user = "someone";
    plain.password = "secret";
    SendResult skipped = send(plain, simple_body());
    EXPECT_EQ(skipped.ok, 0);
    EXPECT_EQ(skipped.error, "Can't connect to SMTP server!");
    EXPECT_NE(skipped.console.find("offers no login"), std::string::npos) << skipped.console;
    EXPECT_TRUE(no_stored_mail(plain_token));
}

TEST(MailSend, EncryptionWordsReachTheMatchingServers) {
    struct Case {
        const char* encryption;  // the job file's word; null: element absent
        const char* port_key;
        const char* encrypted;
    };
    const Case cases[] = {
        {"tls", "SMTP_STARTTLS_PORT", "yes"},  // STARTTLS required
        {"ssl", "SMTP_TLS_PORT", "yes"},       // implicit TLS
        {"other", "SMTP_STARTTLS_PORT", "yes"},  // empty word: STARTTLS when offered
        {"other", "SMTP_PORT", "no"},            // ... and plain when not offered
        {nullptr, "SMTP_PORT", "no"},
        {"no", "SMTP_PORT", "no"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.encryption ? c.encryption : "(none)") + " " + c.port_key);
        std::string token = unique_mail_token("enc");
        MailSettings s = sink_settings(token, c.port_key);
        if (c.encryption) s.encryption = c.encryption;
        SendResult r = send(s, simple_body());
        ASSERT_EQ(r.ok, 1) << r.console;
        StoredMail mail;
        ASSERT_TRUE(fetch_stored_mail(token, mail));
        EXPECT_EQ(mail.meta["encrypted"], c.encrypted);
        EXPECT_EQ(mail.parts.size(), 2u);
    }
}

TEST(MailSend, RequiredTlsWithoutStarttlsCannotConnect) {
    std::string token = unique_mail_token("notls");
    MailSettings s = sink_settings(token);
    s.encryption = "TLS";
    SendResult r = send(s, simple_body());
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Can't connect to SMTP server!");
    EXPECT_TRUE(no_stored_mail(token));
}

TEST(MailSend, RejectedRecipientFailsTheSending) {
    std::string token = unique_mail_token("reject");
    SendResult r = send(sink_settings(token, "SMTP_REJECT_PORT"), simple_body());
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Sending Failed!");
    EXPECT_NE(r.console.find("550"), std::string::npos) << r.console;
}

TEST(MailSend, EmptyOrMalformedAddressListsFailTheSending) {
    const char* lists[] = {"", "  ,  ", "Ann <ann@example.com", "Ann Example", "<>", "a@", "\"open@example.com",
                           "x@example.com>", "ok@example.com; other@example.com"};
    for (const char* list : lists) {
        SCOPED_TRACE(list);
        std::string token = unique_mail_token("bad");
        MailSettings s = sink_settings(token);
        s.to_email = list;
        s.cc = token + "@example.com";  // a valid copy must not rescue a malformed list
        if (std::string(list).find_first_not_of(" ,") == std::string::npos) s.cc.reset();
        SendResult r = send(s, simple_body());
        EXPECT_EQ(r.ok, 0);
        EXPECT_EQ(r.error, "Sending Failed!");
        EXPECT_FALSE(r.console.empty());
    }
}

TEST(MailSend, UnreachableHostCannotConnect) {
    // A port that was free a moment ago and has no listener.
    int port = 0;
    close(loopback_socket(false, &port));
    ASSERT_GT(port, 0);

    MailSettings s = sink_settings(unique_mail_token("down"));
    s.port = std::to_string(port);
    SendResult r = send(s, simple_body());
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Can't connect to SMTP server!");
    EXPECT_NE(r.console.find("onnect"), std::string::npos) << r.console;

    s.host = "no host/with?junk";
    r = send(s, simple_body());
    EXPECT_EQ(r.error, "Can't connect to SMTP server!");
}

TEST(MailSend, SilentServerEndsWithATimeoutNotAHang) {
    // Accepts connections (the kernel does) but never says a word.
    int port = 0;
    int fd = loopback_socket(true, &port);
    ASSERT_GT(port, 0);

    MailSettings s = sink_settings(unique_mail_token("silent"));
    s.port = std::to_string(port);
    auto started = std::chrono::steady_clock::now();
    SendResult r = send(s, simple_body(), 2);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    close(fd);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.error, "Can't connect to SMTP server!");
    EXPECT_LT(seconds.count(), 30);
}

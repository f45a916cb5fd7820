// Mailer: turns mail settings and a report's two bodies into one MIME message and sends
// it over SMTP (libcurl). One per send; owns nothing beyond its texts. The message is
// produced while it is sent, so a large report is never held a second time.
#pragma once

#include <string_view>

#include "common/str_buf.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::mail {

struct MailSettings;

struct Mailer {
    static constexpr const char* kConnectFailed = "Can't connect to SMTP server!";
    static constexpr const char* kSendFailed = "Sending Failed!";

    common::StrBuf error_text;  // after a failed send: one of the two texts above
    int use_auth = 0;
    common::StrBuf encryption;  // "notls", "tls", "ssl", or empty: encrypt when the server offers it
    // The report's texts, not copied: the ReportBody must outlive send(), which encodes
    // them while the message is sent.
    std::string_view html_body;
    std::string_view plain_body;
    common::StrBuf display_name;
    common::StrBuf reply_to;
    common::StrBuf sender;
    common::StrBuf recipients;
    common::StrBuf blind_copies;
    common::StrBuf copies;
    common::StrBuf subject;
    common::StrBuf host;
    common::StrBuf user;
    common::StrBuf password;
    int port = 25;

    // Seconds: to open the connection (and TLS), to wait for any server reply, and for
    // the whole transaction, so that a silent or slow server cannot hang the job.
    long connect_timeout = 30;
    long reply_timeout = 60;
    long total_timeout = 600;

    // Copies the settings, applying the defaults and the subject date rule, and takes the
    // bodies.
    void fill(const MailSettings& settings, const report::ReportBody& body);
    // 1 when the server accepted the message; else 0 with error_text set. The transport's
    // own error texts go to the console and the log.
    int send();
};

}  // namespace kro::mail

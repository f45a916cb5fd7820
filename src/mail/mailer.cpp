#include "mail/mailer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "mail/address_list.h"
#include "mail/mail_settings.h"
#include "mail/mime_message.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::mail {

namespace {

struct CurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlDeleter>;

void ensure_curl_initialised() {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)init;
}

// "yyyy-mm-dd" and "yyyy-mm-dd hh:mm:ss" (exactly, without case) stand for today's date.
std::string apply_subject_date_rule(const std::string& subject) {
    bool date_only = strcasecmp(subject.c_str(), "yyyy-mm-dd") == 0;
    bool date_time = strcasecmp(subject.c_str(), "yyyy-mm-dd hh:mm:ss") == 0;
    if (!date_only && !date_time) return subject;
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    StrBuf text;
    if (date_only)
        text.format("%d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    else
        text.format("%d:%d:%d %d:%d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                    t.tm_min, t.tm_sec);
    return text.str();
}

const char* encryption_word(const std::optional<std::string>& setting) {
    if (!setting) return "notls";
    if (strcasecmp(setting->c_str(), "no") == 0) return "notls";
    if (strcasecmp(setting->c_str(), "tls") == 0) return "tls";
    if (strcasecmp(setting->c_str(), "ssl") == 0) return "ssl";
    return "";
}

int port_number(const std::optional<std::string>& text) {
    if (!text) return 25;
    errno = 0;
    long value = std::strtol(text->c_str(), nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX) return 0;
    return static_cast<int>(value);
}

void assign(StrBuf& field, const std::optional<std::string>& value) {
    field.clear();
    if (value) field.append(*value);
}

// What one transfer observed: whether the mail transaction had begun (MAIL FROM sent),
// whether a login was sent, and the last reply line of the server.
struct Dialogue {
    bool transaction_started = false;
    bool logged_in = false;
    std::string last_reply;
};

int on_debug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    auto* d = static_cast<Dialogue*>(user);
    std::string_view text(data, size);
    if (type == CURLINFO_HEADER_OUT && text.size() >= 9 && strncasecmp(data, "MAIL FROM", 9) == 0)
        d->transaction_started = true;
    if (type == CURLINFO_HEADER_OUT && text.size() >= 5 && strncasecmp(data, "AUTH ", 5) == 0) d->logged_in = true;
    if (type == CURLINFO_HEADER_IN) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        d->last_reply.assign(text);
    }
    return 0;
}

struct Upload {
    MimeMessage* message;
    const Dialogue* dialogue;
    bool login_required = false;
    bool refused_unauthenticated = false;
};

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
    auto* u = static_cast<Upload*>(user);
    // libcurl skips a login that the server does not offer; a mail that was meant to be
    // sent logged in is not sent without it. Ending the data unfinished makes the server
    // drop the message.
    if (u->login_required && !u->dialogue->logged_in) {
        u->refused_unauthenticated = true;
        return CURL_READFUNC_ABORT;
    }
    return u->message->read(buffer, size * count);
}

// Parses one address list of the settings into out; a malformed list is told on the
// console and in the log.
bool parse_field(const char* key, const StrBuf& text, std::vector<MailAddress>& out) {
    std::string problem;
    if (parse_address_list(text.view(), out, &problem)) return true;
    StrBuf message;
    message.format("Invalid address list in %s (%s): %s", key, problem.c_str(), text.c_str());
    print_and_log(message.c_str());
    return false;
}

}  // namespace

void Mailer::fill(const MailSettings& settings, const ReportBody& body) {
    assign(host, settings.host);
    port = port_number(settings.port);
    assign(display_name, settings.display_name);
    assign(reply_to, settings.reply_to);
    assign(sender, settings.from_email);
    assign(recipients, settings.to_email);
    plain_body = body.plain.view();
    html_body = body.html.view();
    assign(copies, settings.cc);
    assign(blind_copies, settings.bcc);
    subject.clear();
    if (settings.subject) subject.append(apply_subject_date_rule(*settings.subject));
    encryption.assign(encryption_word(settings.encryption), 1);
    use_auth = settings.use_auth;
    assign(user, settings.user);
    assign(password, settings.password);
}

int Mailer::send() {
    error_text.clear();
    ensure_curl_initialised();

    // Envelope and headers. A list that cannot be read, or no recipient at all, fails the
    // transaction before anything is sent.
    MessageHeaders headers;
    std::vector<MailAddress> bcc;
    std::vector<MailAddress> return_path;
    bool lists_ok = parse_field("fromemail", sender, headers.from) &&
                    parse_field("fromemail", sender, return_path) &&
                    parse_field("toemail", recipients, headers.to) &&
                    parse_field("cc", copies, headers.cc) &&
                    parse_field("bcc", blind_copies, bcc) &&
                    parse_field("replyemail", reply_to, headers.reply_to);
    if (lists_ok && headers.to.empty() && headers.cc.empty() && bcc.empty()) {
        print_and_log("No recipients specified");
        lists_ok = false;
    }
    if (!lists_ok) {
        error_text.assign(kSendFailed, 1);
        return 0;
    }
    if (!headers.from.empty() && !display_name.empty())
        headers.from.front().display_name = display_name.str();
    if (!return_path.empty()) headers.return_path = return_path.front().mailbox;
    headers.subject = subject.str();

    MimeMessage message(headers, plain_body, html_body);

    CurlList rcpt;
    for (const auto* list : {&headers.to, &headers.cc, &bcc})
        for (const MailAddress& a : *list) {
            curl_slist* grown = curl_slist_append(rcpt.get(), ("<" + a.mailbox + ">").c_str());
            if (!grown) return error_text.assign(kSendFailed, 1), 0;
            rcpt.release();
            rcpt.reset(grown);
        }

    CurlHandle curl(curl_easy_init());
    CurlUrl url(curl_url());
    bool implicit_tls = encryption.compare("ssl") == 0;
    StrBuf port_text;
    port_text.format("%d", port);
    const char* setup_problem = nullptr;
    if (!curl || !url) {
        setup_problem = "Could not start the mail transport";
    } else if (port < 1 || port > 65535) {
        setup_problem = "Invalid SMTP port";
    } else if (curl_url_set(url.get(), CURLUPART_SCHEME, implicit_tls ? "smtps" : "smtp", 0) != CURLUE_OK ||
               curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
               curl_url_set(url.get(), CURLUPART_PORT, port_text.c_str(), 0) != CURLUE_OK) {
        setup_problem = "Invalid SMTP host";
    }
    if (setup_problem) {
        StrBuf text;
        text.format("%s: %s:%d", setup_problem, host.c_str(), port);
        print_and_log(text.c_str());
        error_text.assign(kConnectFailed, 1);
        return 0;
    }

    CURL* h = curl.get();
    char curl_error[CURL_ERROR_SIZE] = "";
    Dialogue dialogue;
    Upload upload{&message, &dialogue};
    curl_easy_setopt(h, CURLOPT_CURLU, url.get());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curl_error);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connect_timeout);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, reply_timeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, total_timeout);
    // Report servers often use self-made certificates: encrypt, but accept any certificate.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!implicit_tls) {
        long use_ssl = CURLUSESSL_NONE;
        if (encryption.compare("tls") == 0) use_ssl = CURLUSESSL_ALL;
        if (encryption.empty()) use_ssl = CURLUSESSL_TRY;
        curl_easy_setopt(h, CURLOPT_USE_SSL, use_ssl);
    }
    if (use_auth && !user.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, password.c_str());
        upload.login_required = true;
    }
    std::string mail_from = "<" + headers.return_path + ">";
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, mail_from.c_str());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpt.get());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    // The dialogue is watched (not printed) to tell a failed login from a failed transaction.
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, on_debug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &dialogue);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);

    CURLcode result = curl_easy_perform(h);
    if (result == CURLE_OK) return 1;
    if (upload.refused_unauthenticated) {
        print_and_log("The SMTP server offers no login; the mail was not sent without one.");
        error_text.assign(kConnectFailed, 1);
        return 0;
    }

    print_and_log(curl_error[0] ? curl_error : curl_easy_strerror(result));
    if (!dialogue.last_reply.empty() && (dialogue.last_reply[0] == '4' || dialogue.last_reply[0] == '5'))
        print_and_log(dialogue.last_reply.c_str());
    error_text.assign(dialogue.transaction_started ? kSendFailed : kConnectFailed, 1);
    return 0;
}

}  // namespace kro::mail

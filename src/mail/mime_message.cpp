#include "mail/mime_message.h"

#include <atomic>
#include <ctime>
#include <random>

#include "mail/mime_encoding.h"

namespace {

// RFC 5322 date of the local time; names written out so the locale cannot change them.
std::string rfc5322_date() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    long offset = t.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[t.tm_wday],
                  t.tm_mday, kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                  sign, offset / 60, offset % 60);
    return buf;
}

// A token unique to this message: time, process-local counter and random bits.
std::string unique_token() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    char buf[80];
    std::snprintf(buf, sizeof buf, "%lx.%x.%08x%08x", static_cast<long>(std::time(nullptr)),
                  counter++, rd(), rd());
    return buf;
}

void write_header(StrBuf& out, const char* name, const std::string& value) {
    out.append(name);
    out.append(": ", 2);
    out.append(value);
    out.append("\r\n", 2);
}

void write_part(StrBuf& out, const std::string& boundary, const char* type, const StrBuf& body) {
    out.append("--" + boundary + "\r\n");
    out.append_format("Content-Type: %s; charset=utf-8\r\n", type);
    out.append("Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    out.append(body.view());
}

}  // namespace

void write_mime_message(StrBuf& out, const MessageHeaders& headers, const StrBuf& plain_qp,
                        const StrBuf& html_qp) {
    std::string token = unique_token();
    // "=_" never occurs in quoted-printable text, so the boundary cannot clash with a body.
    std::string boundary = "=_kro_" + token;
    std::string domain = "localhost";
    if (!headers.from.empty()) {
        const std::string& box = headers.from.front().mailbox;
        std::size_t at = box.rfind('@');
        if (at != std::string::npos && at + 1 < box.size()) domain = box.substr(at + 1);
    }

    write_header(out, "Date", rfc5322_date());
    if (!headers.from.empty()) write_header(out, "From", format_address_list(headers.from));
    if (!headers.return_path.empty()) write_header(out, "Return-Path", "<" + headers.return_path + ">");
    if (!headers.subject.empty()) write_header(out, "Subject", encode_header_text(headers.subject));
    if (!headers.to.empty()) write_header(out, "To", format_address_list(headers.to));
    if (!headers.cc.empty()) write_header(out, "Cc", format_address_list(headers.cc));
    if (!headers.reply_to.empty()) write_header(out, "Reply-To", format_address_list(headers.reply_to));
    write_header(out, "Message-ID", "<" + token + "@" + domain + ">");
    write_header(out, "MIME-Version", "1.0");
    write_header(out, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"");
    out.append("\r\n", 2);
    write_part(out, boundary, "text/plain", plain_qp);
    write_part(out, boundary, "text/html", html_qp);
    out.append("--" + boundary + "--\r\n");
}

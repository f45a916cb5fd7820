#include "mail/mime_message.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <random>

namespace kro::mail {

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

void write_header(std::string& out, const char* name, const std::string& value) {
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
}

std::string part_header(const std::string& boundary, const char* type) {
    return "--" + boundary + "\r\nContent-Type: " + type +
           "; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
}

// The bytes read from the message at a time while it is produced.
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

MimeMessage::MimeMessage(const MessageHeaders& headers, std::string_view plain, std::string_view html)
    : chunk_(kChunk + 8) {
    std::string token = unique_token();
    // "=_" never occurs in quoted-printable text, so the boundary cannot clash with a body.
    std::string boundary = "=_kro_" + token;
    std::string domain = "localhost";
    if (!headers.from.empty()) {
        const std::string& box = headers.from.front().mailbox;
        std::size_t at = box.rfind('@');
        if (at != std::string::npos && at + 1 < box.size()) domain = box.substr(at + 1);
    }

    std::string head;
    write_header(head, "Date", rfc5322_date());
    if (!headers.from.empty()) write_header(head, "From", format_address_list(headers.from));
    if (!headers.return_path.empty()) write_header(head, "Return-Path", "<" + headers.return_path + ">");
    if (!headers.subject.empty()) write_header(head, "Subject", encode_header_text(headers.subject));
    if (!headers.to.empty()) write_header(head, "To", format_address_list(headers.to));
    if (!headers.cc.empty()) write_header(head, "Cc", format_address_list(headers.cc));
    if (!headers.reply_to.empty()) write_header(head, "Reply-To", format_address_list(headers.reply_to));
    write_header(head, "Message-ID", "<" + token + "@" + domain + ">");
    write_header(head, "MIME-Version", "1.0");
    write_header(head, "Content-Type", "multipart/alternative; boundary=\"" + boundary + "\"");
    head += "\r\n";

    const std::string body_end = "\r\n\r\n\r\n";
    sections_.push_back({head + part_header(boundary, "text/plain"), {}, false});
    sections_.push_back({{}, plain, true});
    sections_.push_back({body_end + part_header(boundary, "text/html"), {}, false});
    sections_.push_back({{}, html, true});
    sections_.push_back({body_end + "--" + boundary + "--\r\n", {}, false});
}

std::size_t MimeMessage::size() const {
    std::size_t total = 0;
    for (const Section& s : sections_)
        total += s.encoded ? QuotedPrintableEncoder(s.body).encoded_size() : s.text.size();
    return total;
}

// Produces the next bytes into chunk_; false at the end of the message.
bool MimeMessage::refill() {
    chunk_.clear();
    chunk_read_ = 0;
    while (chunk_.empty()) {
        if (encoder_ && !encoder_->done()) {
            encoder_->encode(chunk_, kChunk);
            continue;
        }
        encoder_.reset();
        if (next_section_ == sections_.size()) return false;
        const Section& s = sections_[next_section_++];
        if (s.encoded) {
            encoder_.emplace(s.body);
        } else {
            chunk_.append(s.text);
        }
    }
    return true;
}

std::size_t MimeMessage::read(char* buffer, std::size_t n) {
    std::size_t copied = 0;
    while (copied < n) {
        if (chunk_read_ == chunk_.length() && !refill()) break;
        std::size_t take = std::min(n - copied, chunk_.length() - chunk_read_);
        std::memcpy(buffer + copied, chunk_.c_str() + chunk_read_, take);
        chunk_read_ += take;
        copied += take;
    }
    return copied;
}

}  // namespace kro::mail

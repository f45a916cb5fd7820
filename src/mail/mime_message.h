// The report mail as one MIME message: headers, then a multipart/alternative body with
// the plain text first and the HTML second, both UTF-8 and quoted-printable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/str_buf.h"
#include "mail/address_list.h"
#include "mail/mime_encoding.h"

namespace kro::mail {

struct MessageHeaders {
    std::vector<MailAddress> from;  // the first one carries the sender's display name
    std::string return_path;        // a mailbox, or empty for none
    std::vector<MailAddress> to;
    std::vector<MailAddress> cc;
    std::vector<MailAddress> reply_to;
    std::string subject;  // UTF-8; empty for none
};

// The message, produced piece by piece while it is sent: the bodies are encoded as they
// are read, so that no encoded copy of them is ever held. Each body is followed by the
// line breaks that close it ("\r\n\r\n" and "\r\n"). The bodies are not copied and must
// outlive the message.
class MimeMessage {
public:
    MimeMessage(const MessageHeaders& headers, std::string_view plain, std::string_view html);

    // The size of the whole message in bytes.
    std::size_t size() const;
    // Copies the next bytes of the message, at most n, into buffer; 0 at its end.
    std::size_t read(char* buffer, std::size_t n);

private:
    // A stretch of the message: a text written as it is, or a body encoded while it is read.
    struct Section {
        std::string text;
        std::string_view body;
        bool encoded;
    };

    bool refill();

    std::vector<Section> sections_;
    std::size_t next_section_ = 0;
    std::optional<QuotedPrintableEncoder> encoder_;  // of the body being read
    common::StrBuf chunk_;                                   // bytes produced, not yet read
    std::size_t chunk_read_ = 0;
};

}  // namespace kro::mail

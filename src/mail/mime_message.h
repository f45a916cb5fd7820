// The report mail as one MIME message: headers, then a multipart/alternative body with
// the plain text first and the HTML second, both UTF-8 and quoted-printable.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "mail/address_list.h"

struct MessageHeaders {
    std::vector<MailAddress> from;  // the first one carries the sender's display name
    std::string return_path;        // a mailbox, or empty for none
    std::vector<MailAddress> to;
    std::vector<MailAddress> cc;
    std::vector<MailAddress> reply_to;
    std::string subject;  // UTF-8; empty for none
};

// Writes the whole message (CR LF line ends) into out. The bodies are already encoded
// quoted-printable and end with their own line breaks.
void write_mime_message(StrBuf& out, const MessageHeaders& headers, const StrBuf& plain_qp,
                        const StrBuf& html_qp);

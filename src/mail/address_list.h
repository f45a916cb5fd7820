// RFC 822 address lists as a job file gives them ("Ann <ann@example.com>, bob@example.com",
// quoted names, comments, groups): parsed into mailboxes, and written back as a header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kro::mail {

struct MailAddress {
    std::string display_name;  // decoded: no quotes, may be UTF-8
    std::string mailbox;       // local-part@domain as written (a local part may be quoted)
};

// Appends the mailboxes of text to out (members of groups included, group names dropped).
// Returns 1, or 0 for a malformed list with a short description in *problem.
int parse_address_list(std::string_view text, std::vector<MailAddress>& out, std::string* problem);

// The addresses as a header value: "Name <box>" or "box", comma separated, names quoted or
// encoded as needed, folded between addresses.
std::string format_address_list(const std::vector<MailAddress>& addresses);

}  // namespace kro::mail

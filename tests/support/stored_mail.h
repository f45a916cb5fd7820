// Reading a message that the test SMTP sink stored, through Python's email package
// (tests/support/read_mail.py), so tests check what a real MIME parser sees.
#pragma once

#include <map>
#include <string>
#include <vector>

struct StoredAddress {
    std::string field;  // "From", "To", "Cc", "Reply-To" or "Bcc"
    std::string display_name;
    std::string address;
};

struct StoredMail {
    std::map<std::string, std::string> meta;  // see read_mail.py
    std::vector<std::string> recipients;      // envelope recipients (RCPT TO)
    std::vector<std::pair<std::string, std::string>> headers;  // decoded, in order
    std::vector<StoredAddress> addresses;
    std::vector<std::string> parts;  // decoded bodies, in message order
    std::string raw;

    // The first header of that name (no case), or "" when there is none.
    std::string header(const std::string& name) const;
    int header_count(const std::string& name) const;
};

// The newest stored message with an envelope recipient containing token. Fails the
// calling test and returns false when none arrives within a few seconds.
bool fetch_stored_mail(const std::string& token, StoredMail& mail);

// True when no stored message has a recipient containing token (waits briefly first).
bool no_stored_mail(const std::string& token);

// A token unique to this process and call, for recipient addresses of one test.
std::string unique_mail_token(const std::string& prefix);

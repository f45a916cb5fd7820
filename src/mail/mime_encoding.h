// Text encodings of internet mail: quoted-printable bodies, base64, and header texts as
// RFC 2047 encoded words. Pure functions over bytes; any byte sequence is accepted.
#pragma once

#include <string>
#include <string_view>

#include "common/base64.h"
#include "common/str_buf.h"

// Appends text encoded quoted-printable: control characters, bytes 127 and above, "=" and
// a blank before a line end are written as "=" and two upper-case hex digits; CR LF pairs
// stay line breaks; soft breaks "=" CR LF keep every line at most 76 characters.
void append_quoted_printable(StrBuf& out, std::string_view text);

// A header value: printable ASCII stays as it is; anything else (non-ASCII, control
// characters, an "=?" that would read as an encoded word, very long text) becomes UTF-8
// base64 encoded words, each on its own folded line, never splitting a character.
std::string encode_header_text(std::string_view text);

// True when text may be written into a header as it is (printable ASCII and no "=?").
bool is_plain_header_text(std::string_view text);

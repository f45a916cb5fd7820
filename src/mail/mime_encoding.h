// Text encodings of internet mail: quoted-printable bodies, base64, and header texts as
// RFC 2047 encoded words. Pure functions over bytes; any byte sequence is accepted.
#pragma once

#include <string>
#include <string_view>

#include "common/base64.h"
#include "common/str_buf.h"

namespace kro::mail {

// Quoted-printable encoding: control characters, bytes 127 and above, "=" and a blank
// before a line end are written as "=" and two upper-case hex digits; CR LF pairs stay line
// breaks; soft breaks "=" CR LF keep every line at most 76 characters.
//
// The encoder produces the encoding of a text in memory piece by piece, so that a mail can
// be encoded while it is sent instead of being held encoded; the pieces together are the
// same bytes as one call over the whole text. The text is not copied and must outlive it.
class QuotedPrintableEncoder {
public:
    explicit QuotedPrintableEncoder(std::string_view text) : text_(text) {}

    // Appends the encoding of the next part of the text to out: at least min_bytes
    // bytes, fewer only when the text ends.
    void encode(common::StrBuf& out, std::size_t min_bytes);
    bool done() const { return pos_ == text_.size(); }
    // The size of the whole encoding, counted without writing it.
    std::size_t encoded_size() const;

private:
    template <class Sink>
    void run(Sink& sink, std::size_t min_bytes);

    std::string_view text_;
    std::size_t pos_ = 0;   // the next byte of text to encode
    std::size_t line_ = 0;  // characters on the output line so far
};

// A header value: printable ASCII stays as it is; anything else (non-ASCII, control
// characters, an "=?" that would read as an encoded word, very long text) becomes UTF-8
// base64 encoded words, each on its own folded line, never splitting a character.
std::string encode_header_text(std::string_view text);

// True when text may be written into a header as it is (printable ASCII and no "=?").
bool is_plain_header_text(std::string_view text);

}  // namespace kro::mail

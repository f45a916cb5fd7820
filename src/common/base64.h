// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks when encoding).
// Decoding is strict about the alphabet and padding but skips ASCII white space, so
// texts that were wrapped into lines decode as well.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kro::common {

std::size_t base64_encoded_length(std::size_t byte_count);
void base64_encode_append(std::string& out, std::string_view bytes);
std::string base64_encode(std::string_view bytes);

// The number of bytes `text` decodes to, or nothing when it is not valid Base64.
std::optional<std::size_t> base64_decoded_length(std::string_view text);
// Decodes text that base64_decoded_length accepted into `out`, which has room for that
// many bytes; returns the number written.
std::size_t base64_decode_into(std::string_view text, char* out);
// Decodes `text` into `out`, which has room for `room` bytes: the number of bytes written,
// or nothing when the text is not valid Base64 or decodes to more than `room` bytes (then
// `out` holds garbage). One pass over the text, for the many short values of an answer.
std::optional<std::size_t> base64_decode_bounded(std::string_view text, char* out, std::size_t room);

}  // namespace kro::common

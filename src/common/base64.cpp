#include "common/base64.h"

#include <array>

namespace kro::common {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr signed char kSkip = -2;
constexpr signed char kPad = -3;
constexpr signed char kBad = -1;

constexpr std::array<signed char, 256> make_table() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = kBad;
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    t[' '] = t['\t'] = t['\r'] = t['\n'] = kSkip;
    t['='] = kPad;
    return t;
}

constexpr std::array<signed char, 256> kTable = make_table();

signed char code_of(char c) { return kTable[static_cast<unsigned char>(c)]; }

}  // namespace

std::size_t base64_encoded_length(std::size_t byte_count) { return (byte_count + 2) / 3 * 4; }

void base64_encode_append(std::string& out, std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::size_t at = out.size();
    out.resize(at + base64_encoded_length(n));
    char* o = out.data() + at;
    for (; n >= 3; n -= 3, p += 3) {
        unsigned v = (p[0] << 16) | (p[1] << 8) | p[2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (n > 0) {
        unsigned v = p[0] << 16;
        if (n == 2) v |= p[1] << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = n == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        *o++ = '=';
    }
}

std::string base64_encode(std::string_view bytes) {
    std::string out;
    base64_encode_append(out, bytes);
    return out;
}

std::optional<std::size_t> base64_decoded_length(std::string_view text) {
    std::size_t symbols = 0, pads = 0;
    for (char c : text) {
        signed char v = code_of(c);
        if (v == kSkip) continue;
        if (v == kBad) return std::nullopt;
        if (v == kPad) {
            ++pads;
        } else {
            if (pads > 0) return std::nullopt;  // data after padding
            ++symbols;
        }
    }
    if ((symbols + pads) % 4 != 0 || pads > 2) return std::nullopt;
    std::size_t rest = symbols % 4;
    if (pads != 0 && pads != 4 - rest) return std::nullopt;
    return symbols / 4 * 3 + (rest == 0 ? 0 : rest - 1);
}

std::size_t base64_decode_into(std::string_view text, char* out) {
    unsigned acc = 0;
    int bits = 0;
    std::size_t written = 0;
    for (char c : text) {
        signed char v = code_of(c);
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[written++] = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return written;
}

std::optional<std::size_t> base64_decode_bounded(std::string_view text, char* out, std::size_t room) {
    // Whole groups of four symbols first; the rest (padding, white space) is checked and
    // decoded as a text of its own, which it can be: the groups before it hold no padding.
    std::size_t at = 0, written = 0;
    for (; at + 4 <= text.size() && written + 3 <= room; at += 4) {
        int a = code_of(text[at]), b = code_of(text[at + 1]), c = code_of(text[at + 2]), d = code_of(text[at + 3]);
        if ((a | b | c | d) < 0) break;
        unsigned v = (static_cast<unsigned>(a) << 18) | (b << 12) | (c << 6) | d;
        out[written++] = static_cast<char>(v >> 16);
        out[written++] = static_cast<char>((v >> 8) & 0xFF);
        out[written++] = static_cast<char>(v & 0xFF);
    }
    std::string_view rest = text.substr(at);
    auto n = base64_decoded_length(rest);
    if (!n || *n > room - written) return std::nullopt;
    return written + base64_decode_into(rest, out + written);
}

}  // namespace kro::common

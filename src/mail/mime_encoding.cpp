#include "mail/mime_encoding.h"

#include <cstdint>

using namespace kro::common;

namespace kro::mail {

namespace {

constexpr std::size_t kMaxLine = 76;
constexpr char kHex[] = "0123456789ABCDEF";
// Header lines beyond this are folded into encoded words rather than sent as one line.
constexpr std::size_t kMaxPlainHeaderText = 900;
// Bytes per encoded word: 42 bytes give 56 base64 characters, 68 with the "=?utf-8?B?" frame.
constexpr std::size_t kEncodedWordBytes = 42;

// Where the encoder's output goes: appended to a text, or only counted.
struct AppendSink {
    StrBuf& out;
    std::size_t written = 0;
    void put(const char* bytes, std::size_t n) {
        out.make_room(n);
        out.append(bytes, static_cast<long>(n));
        written += n;
    }
};

struct CountSink {
    std::size_t written = 0;
    void put(const char*, std::size_t n) { written += n; }
};

}  // namespace

template <class Sink>
void QuotedPrintableEncoder::run(Sink& sink, std::size_t min_bytes) {
    // Writes one encoded unit, breaking the line first when the unit and a soft-break "="
    // would not fit.
    auto put = [&](const char* unit, std::size_t n) {
        if (line_ + n > kMaxLine - 1) {
            sink.put("=\r\n", 3);
            line_ = 0;
        }
        sink.put(unit, n);
        line_ += n;
    };
    const std::size_t size = text_.size();
    while (pos_ < size && sink.written < min_bytes) {
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        if (c == '\r' && pos_ + 1 < size && text_[pos_ + 1] == '\n') {
            sink.put("\r\n", 2);
            line_ = 0;
            pos_ += 2;
            continue;
        }
        // A blank at the end of a line (or of the text) would be lost in transport.
        bool trailing_blank = c == ' ' && (pos_ + 1 == size || text_[pos_ + 1] == '\r');
        if (c < 32 || c >= 127 || c == '=' || trailing_blank) {
            char unit[3] = {'=', kHex[c >> 4], kHex[c & 15]};
            put(unit, 3);
        } else {
            char unit = static_cast<char>(c);
            put(&unit, 1);
        }
        ++pos_;
    }
}

void QuotedPrintableEncoder::encode(StrBuf& out, std::size_t min_bytes) {
    AppendSink sink{out};
    run(sink, min_bytes);
}

std::size_t QuotedPrintableEncoder::encoded_size() const {
    QuotedPrintableEncoder counter(text_);
    CountSink sink;
    counter.run(sink, SIZE_MAX);
    return sink.written;
}

bool is_plain_header_text(std::string_view text) {
    if (text.size() > kMaxPlainHeaderText || text.find("=?") != std::string_view::npos) return false;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 32 || c >= 127) return false;
    }
    return true;
}

std::string encode_header_text(std::string_view text) {
    if (is_plain_header_text(text)) return std::string(text);
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos + kEncodedWordBytes;
        if (end >= text.size()) {
            end = text.size();
        } else {
            // Back up to the start of a UTF-8 character so that no word splits one.
            std::size_t cut = end;
            while (cut > pos && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            if (cut > pos) end = cut;
        }
        if (!out.empty()) out += "\r\n ";
        out += "=?utf-8?B?";
        out += base64_encode(text.substr(pos, end - pos));
        out += "?=";
        pos = end;
    }
    return out;
}

}  // namespace kro::mail

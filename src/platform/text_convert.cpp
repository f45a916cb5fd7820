#include "platform/text_convert.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>

namespace kro::platform {

namespace {

const char* kUtf16 = "UTF-16LE";

struct IconvHandle {
    iconv_t cd;
    IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
};

// Converts in one pass; an invalid or unconvertible input unit is replaced by the
// target's '?' and skipped, so a conversion never fails as a whole.
std::string convert(const char* to, const char* from, const char* in, std::size_t in_len,
                    std::size_t unit, const char* question, std::size_t question_len) {
    std::string out;
    if (in_len == 0) return out;
    IconvHandle h(to, from);
    if (h.cd == reinterpret_cast<iconv_t>(-1)) return std::string(in, in_len);
    // Room for as many bytes as come in, grown when the conversion widens the text: a job
    // file's statements can be tens of megabytes, and every byte reserved here is cleared.
    out.resize(in_len + 16);
    char* src = const_cast<char*>(in);
    std::size_t src_left = in_len;
    std::size_t used = 0;
    while (src_left > 0) {
        char* dst = out.data() + used;
        std::size_t dst_left = out.size() - used;
        std::size_t rc = iconv(h.cd, &src, &src_left, &dst, &dst_left);
        used = out.size() - dst_left;
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else {  // EILSEQ or EINVAL: skip one input unit, write '?'
            std::size_t skip = src_left < unit ? src_left : unit;
            src += skip;
            src_left -= skip;
            if (out.size() - used < question_len) out.resize(out.size() * 2);
            std::memcpy(out.data() + used, question, question_len);
            used += question_len;
            iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    out.resize(used);
    return out;
}

std::string decide_ansi_charset() {
    std::string name;
    const char* saved = std::setlocale(LC_CTYPE, nullptr);
    std::string restore = saved ? saved : "C";
    if (std::setlocale(LC_CTYPE, "")) name = nl_langinfo(CODESET);
    std::setlocale(LC_CTYPE, restore.c_str());
    // The C locale (cron, systemd) says ASCII: take UTF-8, so that a job file means the same
    // however kro is started.
    if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII") name = "UTF-8";
    return name;
}

}  // namespace

const std::string& ansi_charset_name() {
    static const std::string name = decide_ansi_charset();
    return name;
}

std::string ansi_to_utf8(std::string_view text) {
    return convert("UTF-8", ansi_charset_name().c_str(), text.data(), text.size(), 1, "?", 1);
}

std::string utf8_to_ansi(std::string_view text) {
    std::string target = ansi_charset_name() + "//TRANSLIT";
    return convert(target.c_str(), "UTF-8", text.data(), text.size(), 1, "?", 1);
}

std::u16string utf8_to_utf16(std::string_view text) {
    static const char q16[2] = {'?', 0};
    std::string bytes = convert(kUtf16, "UTF-8", text.data(), text.size(), 1, q16, 2);
    std::u16string out(bytes.size() / 2, u'\0');
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    return convert("UTF-8", kUtf16, reinterpret_cast<const char*>(text.data()), text.size() * 2, 2,
                   "?", 1);
}

void append_utf16_as_utf8(std::string& out, const char16_t* text, std::size_t count) {
    out.reserve(out.size() + count);
    for (std::size_t i = 0; i < count; ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += '?';
            continue;
        }
        if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf8_prefix(std::string_view text, std::size_t max_chars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++chars > max_chars)
            return std::string(text.substr(0, i));
    }
    return std::string(text);
}

}  // namespace kro::platform

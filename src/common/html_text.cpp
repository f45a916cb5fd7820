#include "common/html_text.h"

#include <cstdio>
#include <cstring>

namespace kro::common {

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";

// What c becomes, or null when it stays as it is. ref is room for a character reference.
const char* replacement_for(unsigned char c, const MarkupStyle& style, char (&ref)[8]) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return style.apostrophe;
        default: break;
    }
    if (c >= 32 || c == '\t' || c == '\n' || c == '\r') return nullptr;
    switch (style.controls) {
        case ControlBytes::keep: return c == 0 ? "" : nullptr;
        case ControlBytes::replace: return kReplacementCharacter;
        case ControlBytes::reference: std::snprintf(ref, sizeof ref, "&#x%X;", c); return ref;
    }
    return nullptr;
}

void put(StrBuf& target, const char* text, std::size_t n) { target.append(text, static_cast<long>(n)); }
void put(std::string& target, const char* text, std::size_t n) { target.append(text, n); }
void make_room(StrBuf& target, std::size_t n) { target.ensure_capacity(target.length() + n); }
void make_room(std::string& target, std::size_t n) { target.reserve(target.size() + n); }

template <class Target>
void escape_into(Target& target, std::string_view text, const MarkupStyle& style) {
    char ref[8];
    // Size the target once, so that a long text costs one allocation at most.
    std::size_t escaped = text.size();
    for (char c : text)
        if (const char* r = replacement_for(static_cast<unsigned char>(c), style, ref)) escaped += std::strlen(r) - 1;
    make_room(target, escaped);
    std::size_t run = 0;  // start of the bytes copied as they are
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* r = replacement_for(static_cast<unsigned char>(text[i]), style, ref);
        if (!r) continue;
        put(target, text.data() + run, i - run);
        put(target, r, std::strlen(r));
        run = i + 1;
    }
    put(target, text.data() + run, text.size() - run);
}

}  // namespace

void append_markup_escaped(StrBuf& target, std::string_view text, const MarkupStyle& style) {
    escape_into(target, text, style);
}

void append_markup_escaped(std::string& target, std::string_view text, const MarkupStyle& style) {
    escape_into(target, text, style);
}

void append_html_escaped(StrBuf& target, const char* text, std::size_t length) {
    if (text) escape_into(target, std::string_view(text, length), kHtmlStyle);
}

StrBuf html_escaped(const char* text) {
    StrBuf out;
    if (text) escape_into(out, text, kHtmlStyle);
    return out;
}

}  // namespace kro::common

#include "common/html_text.h"

#include <cstring>

namespace {

const char* entity_for(char c) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return "&quot;";
        case '\'': return "&#39;";
        case '\0': return "";
        default: return nullptr;
    }
}

}  // namespace

void append_html_escaped(StrBuf& target, const char* text, std::size_t length) {
    if (!text) return;
    // Size the target once, so that a long value costs one allocation at most.
    std::size_t escaped = length;
    for (std::size_t i = 0; i < length; ++i)
        if (const char* e = entity_for(text[i])) escaped += std::strlen(e) - 1;
    target.ensure_capacity(target.length() + escaped);
    std::size_t run = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char* entity = entity_for(text[i]);
        if (!entity) continue;
        target.append(text + run, static_cast<long>(i - run));
        target.append(entity);
        run = i + 1;
    }
    target.append(text + run, static_cast<long>(length - run));
}

StrBuf html_escaped(const char* text) {
    StrBuf out;
    if (text) append_html_escaped(out, text, std::strlen(text));
    return out;
}

// Text put into HTML or XML: the one escaper of the program. Markup characters become
// entities; the documents differ only in how they write an apostrophe and what becomes of
// control bytes, which XML 1.0 cannot hold at all (not even as character references).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/str_buf.h"

namespace kro::common {

enum class ControlBytes {
    keep,       // as they are, but NUL dropped (HTML report bodies)
    replace,    // each one becomes U+FFFD (XML files such as the session file)
    reference,  // "&#x1F;" (the tunnel request, whose reader decodes them)
};

struct MarkupStyle {
    const char* apostrophe;  // the entity for "'", or null to keep it
    ControlBytes controls;
};

inline constexpr MarkupStyle kHtmlStyle{"&#39;", ControlBytes::keep};
inline constexpr MarkupStyle kXmlFileStyle{nullptr, ControlBytes::replace};
inline constexpr MarkupStyle kTunnelRequestStyle{"&apos;", ControlBytes::reference};

void append_markup_escaped(StrBuf& target, std::string_view text, const MarkupStyle& style);
void append_markup_escaped(std::string& target, std::string_view text, const MarkupStyle& style);

// HTML.
void append_html_escaped(StrBuf& target, const char* text, std::size_t length);
StrBuf html_escaped(const char* text);

}  // namespace kro::common

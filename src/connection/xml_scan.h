// A lexical scanner for XML text: it tells tags, end tags and everything else apart
// without building a tree. The tunnel answer uses it to cut rows out of a large answer so
// that each row is parsed on its own; the parser still checks every piece it is given.
#pragma once

#include <string_view>

namespace kro::connection {

enum class XmlTokenKind { text, start_tag, empty_tag, end_tag, other, malformed, end };

struct XmlToken {
    XmlTokenKind kind = XmlTokenKind::end;
    std::string_view text;  // the whole token
    std::string_view name;  // element name of start, empty and end tags
};

// Reads the token at the front of `rest` and removes it from `rest`.
XmlToken next_xml_token(std::string_view& rest);

// Finds the next element at the top level of `rest` (skipping text, comments and the
// like) and removes everything up to its end from `rest`. False when there is none or
// the text is malformed (then `malformed` is set).
bool next_xml_element(std::string_view& rest, std::string_view& element, bool& malformed);

}  // namespace kro::connection

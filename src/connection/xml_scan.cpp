#include "connection/xml_scan.h"

#include <cstddef>

namespace kro::connection {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

XmlToken take(std::string_view& rest, XmlTokenKind kind, std::size_t length, std::string_view name = {}) {
    XmlToken t{kind, rest.substr(0, length), name};
    rest.remove_prefix(length);
    return t;
}

// A token from `rest` that ends with `terminator`.
XmlToken take_until(std::string_view& rest, std::size_t from, std::string_view terminator) {
    std::size_t at = rest.find(terminator, from);
    if (at == std::string_view::npos) return take(rest, XmlTokenKind::malformed, rest.size());
    return take(rest, XmlTokenKind::other, at + terminator.size());
}

std::string_view tag_name(std::string_view rest, std::size_t from) {
    std::size_t end = from;
    while (end < rest.size() && !is_space(rest[end]) && rest[end] != '>' && rest[end] != '/') ++end;
    return rest.substr(from, end - from);
}

}  // namespace

XmlToken next_xml_token(std::string_view& rest) {
    if (rest.empty()) return {};
    if (rest[0] != '<') {
        std::size_t lt = rest.find('<');
        return take(rest, XmlTokenKind::text, lt == std::string_view::npos ? rest.size() : lt);
    }
    if (rest.starts_with("<!--")) return take_until(rest, 4, "-->");
    if (rest.starts_with("<![CDATA[")) return take_until(rest, 9, "]]>");
    if (rest.starts_with("<?")) return take_until(rest, 2, "?>");
    if (rest.starts_with("<!")) return take_until(rest, 2, ">");
    if (rest.starts_with("</")) {
        std::string_view name = tag_name(rest, 2);
        std::size_t gt = rest.find('>', 2);
        if (gt == std::string_view::npos) return take(rest, XmlTokenKind::malformed, rest.size());
        return take(rest, XmlTokenKind::end_tag, gt + 1, name);
    }
    std::string_view name = tag_name(rest, 1);
    if (name.empty()) return take(rest, XmlTokenKind::malformed, rest.size());
    // Attribute values may hold '>' and '/', so quoted parts are skipped whole.
    for (std::size_t i = 1 + name.size(); i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '"' || c == '\'') {
            std::size_t close = rest.find(c, i + 1);
            if (close == std::string_view::npos) break;
            i = close;
        } else if (c == '>') {
            bool empty = rest[i - 1] == '/';
            return take(rest, empty ? XmlTokenKind::empty_tag : XmlTokenKind::start_tag, i + 1, name);
        }
    }
    return take(rest, XmlTokenKind::malformed, rest.size());
}

bool next_xml_element(std::string_view& rest, std::string_view& element, bool& malformed) {
    malformed = false;
    const char* begin = nullptr;
    std::size_t depth = 0;
    while (!rest.empty()) {
        XmlToken t = next_xml_token(rest);
        switch (t.kind) {
            case XmlTokenKind::malformed:
                malformed = true;
                return false;
            case XmlTokenKind::empty_tag:
            case XmlTokenKind::start_tag:
                if (depth == 0) begin = t.text.data();
                if (t.kind == XmlTokenKind::start_tag) {
                    ++depth;
                } else if (depth == 0) {
                    element = std::string_view(begin, t.text.data() + t.text.size() - begin);
                    return true;
                }
                break;
            case XmlTokenKind::end_tag:
                if (depth == 0) {
                    malformed = true;
                    return false;
                }
                if (--depth == 0) {
                    element = std::string_view(begin, t.text.data() + t.text.size() - begin);
                    return true;
                }
                break;
            default:
                break;
        }
    }
    malformed = depth > 0;
    return false;
}

}  // namespace kro::connection

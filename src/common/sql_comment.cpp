#include "common/sql_comment.h"

namespace kro::common {

std::string sql_comment_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            out += ' ';
        } else if (c == '*' && i + 1 < text.size() && text[i + 1] == '/') {
            out += "*\\";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kro::common

// Names and server texts written inside a /* */ comment of a SQL file. A comment ends at
// the first "*/" whatever quotes surround it, so such a text could end the comment and have
// the rest of it run as SQL when the file is replayed; a line break could start a line that
// the replaying client reads as a command of its own. Statements keep the real names.
#pragma once

#include <string>
#include <string_view>

namespace kro::common {

// text with "*/" written as "*\/" and line breaks as blanks.
std::string sql_comment_text(std::string_view text);

}  // namespace kro::common

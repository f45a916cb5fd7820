// Command lines as one text, the way they are written for the SSH helper, and their
// words. Blanks separate words outside double quotes; double quotes group and are
// dropped, so "" is an empty word. A backslash escapes a double quote: 2n backslashes
// before a quote stand for n backslashes (the quote groups), 2n+1 for n backslashes
// and a literal quote. Other backslashes are plain characters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

std::vector<std::string> split_command_line(std::string_view line);

// The word as it must be written between double quotes so that split_command_line
// gives it back unchanged (quotes and the backslashes before them escaped).
std::string quote_word_content(std::string_view word);

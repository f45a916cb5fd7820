// Whether standard output is a terminal, and how wide that terminal is.
#pragma once

#include <cstddef>
#include <string>

namespace kro::platform {

// True when standard output is a terminal (asked once, then remembered).
bool stdout_is_terminal();

// The width of the terminal on standard output in columns; 80 when it cannot be told.
int terminal_columns();

// The columns a UTF-8 text takes on a terminal, each character counted as one.
std::size_t columns_of(const std::string& text);
// The longest start of a UTF-8 text that takes at most max_columns, not cutting a character.
std::string cut_to_columns(const std::string& text, std::size_t max_columns);

}  // namespace kro::platform

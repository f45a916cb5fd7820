// Texts a job shows on the console only (not in the log nor the session file): its
// progress lines and its closing total. Like every console writer of this floor, each
// erases a live progress line (report/progress_line.h) before it prints.
#pragma once

namespace kro::report {

// The text as it is.
void print_console(const char* text);
// The text and a line break.
void print_console_line(const char* text);
// "<lead>Total time taken - <seconds> sec(s)\r\n", the last line of a job.
void print_time_taken(const char* lead, unsigned seconds);

}  // namespace kro::report

#include "report/job_console.h"

#include <cstdio>

#include "report/progress_line.h"

namespace kro::report {

void print_console(const char* text) {
    ProgressLine::erase_live();
    std::fputs(text, stdout);
}

void print_console_line(const char* text) {
    print_console(text);
    std::fputs("\n", stdout);
}

void print_time_taken(const char* lead, unsigned seconds) {
    ProgressLine::erase_live();
    std::printf("%sTotal time taken - %u sec(s)\r\n", lead, seconds);
}

}  // namespace kro::report

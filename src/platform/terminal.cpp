#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace kro::platform {

bool stdout_is_terminal() {
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    return terminal;
}

int terminal_columns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::size_t columns_of(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string cut_to_columns(const std::string& text, std::size_t max_columns) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && columns++ == max_columns) return text.substr(0, i);
    }
    return text;
}

}  // namespace kro::platform

// kro-status: shows the status texts a running sync job publishes. It creates the status
// block (a job only writes into one that a watcher made), prints each new text as it
// changes until it is interrupted, and removes the block when it ends. The block has one
// fixed name, so one watcher serves the whole machine.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <time.h>

#include "platform/status_block.h"
#include "platform/terminal.h"

using namespace kro::platform;

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void on_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// A status text on one line: its line breaks become single blanks, and the ends are trimmed.
std::string one_line(const std::string& text) {
    std::string line;
    bool gap = false;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            gap = true;
            continue;
        }
        if (gap && !line.empty()) line += ' ';
        gap = false;
        line += c;
    }
    return line;
}

void show(const std::string& line, bool terminal) {
    if (terminal) {
        // One line that changes in place, never wider than the terminal (a wrapped line
        // could not be redrawn).
        const std::size_t width = static_cast<std::size_t>(terminal_columns());
        std::printf("\r%s\x1b[K", cut_to_columns(line, width > 1 ? width - 1 : 0).c_str());
    } else if (!line.empty()) {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0;
        std::fprintf(help ? stdout : stderr,
                     "usage: kro-status\n"
                     "Shows the status texts of the sync job running on this machine, one line each\n"
                     "(a single changing line on a terminal), until interrupted. One watcher per machine.\n");
        return help ? 0 : 2;
    }
    on_stop_signals();
    std::string error;
    StatusBlock block = StatusBlock::create(error);
    if (!block.is_open()) {
        std::fprintf(stderr, "kro-status: cannot create the status block %s: %s\n", StatusBlock::name, error.c_str());
        return 1;
    }
    const bool terminal = stdout_is_terminal();
    std::string shown;
    const timespec pause{0, 50 * 1000 * 1000};
    while (!stop_requested) {
        const std::string line = one_line(block.text());
        if (line != shown) {
            show(line, terminal);
            shown = line;
        }
        nanosleep(&pause, nullptr);  // a stop signal cuts it short
    }
    if (terminal && !shown.empty()) std::printf("\n");
    return 0;
}

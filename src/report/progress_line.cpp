#include "report/progress_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/terminal.h"

using namespace kro::platform;

namespace kro::report {

namespace {

ProgressLine* live_line = nullptr;

// 1234567 -> "1,234,567".
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string duration_text(std::uint64_t seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

}  // namespace

std::string progress_text(std::uint64_t done, std::uint64_t total, const std::string& unit, double seconds) {
    std::string text = grouped(done);
    if (total > 0) {
        if (done > total) total = done;  // the total was an estimate
        text += " of " + grouped(total) + " " + unit + " (" + std::to_string(done * 100 / total) + "%)";
    } else {
        text += " " + unit;
    }
    if (seconds >= 1.0) {
        const double rate = static_cast<double>(done) / seconds;
        text += ", " + grouped(static_cast<std::uint64_t>(rate)) + " " + unit + "/s";
        if (total > done && rate >= 1.0)
            text += ", " + duration_text(static_cast<std::uint64_t>(static_cast<double>(total - done) / rate + 0.5)) +
                    " left";
    }
    return text;
}

ProgressLine::ProgressLine(std::string line_so_far, std::string unit)
    : line_so_far_(std::move(line_so_far)), unit_(std::move(unit)), started_(std::chrono::steady_clock::now()) {
    if (!shown() || live_line) return;
    // The line is redrawn from its start: a text with a line break, or one that fills
    // the terminal's line, cannot be.
    if (line_so_far_.find_first_of("\r\n") != std::string::npos) return;
    live_ = true;
    live_line = this;
}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::update(std::uint64_t done) {
    done_ = done;
    if (!live_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - drawn_at_ < std::chrono::milliseconds(200)) return;
    draw(now);
}

void ProgressLine::draw(std::chrono::steady_clock::time_point now) {
    const std::size_t width = static_cast<std::size_t>(terminal_columns());
    const std::size_t used = columns_of(line_so_far_) + 1;  // and a blank
    if (used + 10 >= width) return;  // no room: a wrapped line could not be erased
    const double seconds = std::chrono::duration<double>(now - started_).count();
    // One column stays free, so that the cursor never wraps to the next line.
    const std::string text = cut_to_columns(progress_text(done_, total_, unit_, seconds), width - used - 1);
    std::fputs("\r", stdout);
    std::fputs(line_so_far_.c_str(), stdout);
    std::fputs(" ", stdout);
    std::fputs(text.c_str(), stdout);
    std::fputs("\x1b[K", stdout);
    std::fflush(stdout);
    drawn_ = true;
    drawn_at_ = now;
}

void ProgressLine::finish() {
    if (drawn_) {
        std::fputs("\r", stdout);
        std::fputs(line_so_far_.c_str(), stdout);
        std::fputs("\x1b[K", stdout);
        std::fflush(stdout);
        drawn_ = false;
    }
    live_ = false;
    if (live_line == this) live_line = nullptr;
}

void ProgressLine::erase_live() {
    if (live_line) live_line->finish();
}

bool ProgressLine::shown() {
    // A terminal that cannot erase (an editor's shell buffer) would keep every drawing.
    static const bool erasable = [] {
        const char* term = std::getenv("TERM");
        return !term || std::strcmp(term, "dumb") != 0;
    }();
    return erasable && stdout_is_terminal();
}

}  // namespace kro::report

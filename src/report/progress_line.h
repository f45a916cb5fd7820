// The live progress line of a long phase (an export table's rows, a sync table's chunks,
// an import table's rows): how many are done of how many expected, the rate and the time
// left. It is drawn only when standard output is a terminal, on the console line after
// the text that line already shows, and erased back to that text before anything else is
// printed; so a terminal ends up showing exactly what a redirected run writes, and
// redirected output never holds a byte of it.
//
// Use: print the line's own text (without a line break), then
//     ProgressLine rows("Exporting table orders...", "rows");
//     rows.expect(total);              // when the total is known (0: unknown)
//     rows.update(done);               // as often as you like: drawn at most 5 times a second
// and let the object go (or call finish()) before printing the text that ends the line.
// Every console writer of report/reporting.h erases a live line first; after such a
// foreign text the line stays erased for good. One line is live at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kro::report {

class ProgressLine {
public:
    // line_so_far: what the console line shows already; unit: what is counted ("rows").
    ProgressLine(std::string line_so_far, std::string unit);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void expect(std::uint64_t total) { total_ = total; }
    void update(std::uint64_t done);
    // Erases the line now; later updates draw nothing.
    void finish();

    // Erases the live line, if any, for good. Called before any other console text.
    static void erase_live();
    // True when a progress line would be drawn (standard output is a terminal, and not
    // one whose TERM is "dumb"): only then is it worth asking for a total.
    static bool shown();

private:
    void draw(std::chrono::steady_clock::time_point now);

    std::string line_so_far_;
    std::string unit_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point drawn_at_{};
    bool live_ = false;   // may draw
    bool drawn_ = false;  // something is on the screen that erasing must take away
};

// "12,345 of 100,000 rows (12%), 45,210 rows/s, 0:02 left": the progress text after the
// line's own text. total 0 leaves out the total and the time left; a rate is given only
// after a second.
std::string progress_text(std::uint64_t done, std::uint64_t total, const std::string& unit, double seconds);

}  // namespace kro::report

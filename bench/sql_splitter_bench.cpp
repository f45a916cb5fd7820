// Splits a 50 MB SQL text of many statements and compares the time with one plain pass
// over the same bytes (counting line ends), which is the floor for any splitter.
#include <chrono>
#include <cstdio>
#include <string>

#include "notify/sql_splitter.h"

using namespace kro::notify;

int main() {
    std::string text;
    text.reserve(52u << 20);
    for (int i = 0; text.size() < (50u << 20); ++i) {
        text += "insert into t (a, b, c) values (" + std::to_string(i) +
                ", 'text with ; and \\' quote', \"x\"); -- note\n";
        if (i % 100 == 0) text += "/* block\n comment ; */ select 1;\n";
    }
    using clock = std::chrono::steady_clock;

    auto t0 = clock::now();
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    auto t1 = clock::now();

    SqlSplitter splitter(text.data(), text.size());
    std::size_t statements = 0, bytes = 0;
    for (;;) {
        SqlSplitter::Piece p = splitter.next_statement();
        if (p.kind == SqlSplitter::Kind::End) break;
        ++statements;
        bytes += p.text.size();
    }
    auto t2 = clock::now();

    double read_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    double split_ms = std::chrono::duration<double, std::milli>(t2 - t1).count();
    std::printf("text: %zu bytes, %zu lines\n", text.size(), lines);
    std::printf("one pass over the bytes: %.1f ms\n", read_ms);
    std::printf("split into %zu statements (%zu bytes): %.1f ms (%.0f MB/s)\n", statements, bytes, split_ms,
                text.size() / 1e6 / (split_ms / 1e3));
    return 0;
}

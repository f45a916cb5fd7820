#include "notify/sql_splitter.h"

#include <strings.h>

namespace kro::notify {

namespace {

constexpr std::size_t kMaxDelimiter = 15;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool starts_nocase(std::string_view text, std::size_t at, const char* word, std::size_t n) {
    return text.size() >= at + n && strncasecmp(text.data() + at, word, n) == 0;
}

// The position of a statement's first significant character: white space and comments
// are skipped, but a "/*!" versioned comment is significant.
std::size_t first_significant(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (is_space(s[i])) {
            ++i;
        } else if (s[i] == '#' || s.compare(i, 3, "-- ") == 0) {
            std::size_t eol = s.find('\n', i);
            i = eol == std::string_view::npos ? s.size() : eol + 1;
        } else if (s.compare(i, 2, "/*") == 0 && s.compare(i, 3, "/*!") != 0) {
            std::size_t end = s.find("*/", i + 2);
            i = end == std::string_view::npos ? s.size() : end + 2;
        } else {
            break;
        }
    }
    return i;
}

}  // namespace

SqlSplitter::SqlSplitter(const char* text, std::size_t length) : text_(text ? text : "", text ? length : 0) {
    mark_special_characters();
}

void SqlSplitter::mark_special_characters() {
    special_.fill(false);
    for (unsigned char c : {'\\', '\'', '"', '`', '#', '-', '/', '*'}) special_[c] = true;
    special_[static_cast<unsigned char>(delimiter_[0])] = true;
}

bool SqlSplitter::read_line() {
    if (read_pos_ >= text_.size()) return false;
    std::size_t eol = text_.find('\n', read_pos_);
    std::size_t end = eol == std::string_view::npos ? text_.size() : eol;
    line_ = text_.substr(read_pos_, end - read_pos_);
    read_pos_ = eol == std::string_view::npos ? text_.size() : eol + 1;
    scan_pos_ = 0;
    line_done_ = false;
    return true;
}

// A line is a delimiter command when, from the given position and after any indentation,
// it starts with DELIMITER. command_start receives the position of its "D".
bool SqlSplitter::line_starts_delimiter_command(std::size_t from, std::size_t* command_start) const {
    std::size_t i = from;
    while (i < line_.size() && (line_[i] == ' ' || line_[i] == '\t')) ++i;
    *command_start = i;
    return starts_nocase(line_, i, "DELIMITER", 9);
}

bool SqlSplitter::scan_line() {
    const std::string_view line = line_;
    const std::size_t size = line.size();
    std::size_t command_start = 0;
    bool delimiter_command = line_starts_delimiter_command(scan_pos_, &command_start);
    // Columns counted from the command word, so an indented command reads like one at
    // the line start.
    std::size_t counter = 0;
    const std::size_t copied_before = statement_.size();
    std::size_t i = scan_pos_;
    while (i < size) {
        if (!delimiter_command) {
            // Copy a run of ordinary characters at once.
            std::size_t j = i;
            while (j < size && !special_[static_cast<unsigned char>(line[j])]) ++j;
            statement_.append(line.data() + i, j - i);
            i = j;
            if (i == size) break;
        }
        const char c = line[i];
        if (i >= command_start) ++counter;
        const char next = i + 1 < size ? line[i + 1] : '\0';
        if (!in_comment_ && c == '\\') {
            if (i + 1 >= size) break;  // a backslash at the line end ends the scan
            if (in_string_) statement_.push_back(c);
            statement_.push_back(next);
            i += 2;
            continue;
        }
        if (!in_comment_ && !delimiter_command && !in_string_ &&
            line.compare(i, delimiter_.size(), delimiter_) == 0) {
            std::size_t after = i + delimiter_.size();
            if (after < size) {
                scan_pos_ = after;
            } else {
                line_done_ = true;
            }
            return true;
        }
        if (delimiter_command && is_space(c) && counter > 10 && i + 1 < size && !is_space(next)) {
            scan_pos_ = i + 1;
            return true;
        }
        if (!in_comment_ && !in_string_ &&
            (c == '#' || (c == '-' && next == '-' && i + 2 < size && line[i + 2] == ' '))) {
            statement_.append(line.substr(i));
            i = size;
            break;
        }
        if (!in_string_ && !in_comment_ && c == '/' && next == '*' && (i + 2 >= size || line[i + 2] != '!')) {
            in_comment_ = true;
            statement_.append("/*");
            i += 2;
            continue;
        }
        if (in_comment_ && c == '*' && next == '/') {
            in_comment_ = false;
            statement_.append("*/");
            i += 2;
            counter = 0;
            if (line_starts_delimiter_command(i, &command_start)) delimiter_command = true;
            continue;
        }
        if (in_string_ && c == in_string_) {
            in_string_ = 0;
        } else if (!in_comment_ && !in_string_ && (c == '\'' || c == '"' || c == '`')) {
            in_string_ = c;
        }
        statement_.push_back(c);
        ++i;
    }
    line_done_ = true;
    if (statement_.size() == copied_before) return false;
    if (delimiter_command && counter > 10) return true;
    statement_.push_back('\n');
    return false;
}

SqlSplitter::Piece SqlSplitter::finish_statement() {
    std::size_t sig = first_significant(statement_);
    if (starts_nocase(statement_, sig, "delimiter", 9) && !statement_.empty()) {
        while (!statement_.empty() && is_space(statement_.back())) statement_.pop_back();
        std::size_t d = sig + 10;
        while (d < statement_.size() && is_space(statement_[d])) ++d;
        if (d < statement_.size()) {
            // An empty delimiter would end a statement at every character: keep the old one.
            delimiter_ = statement_.substr(d, kMaxDelimiter);
            mark_special_characters();
        }
        return {Kind::DelimiterCommand, statement_};
    }
    return {Kind::Statement, statement_};
}

SqlSplitter::Piece SqlSplitter::next_statement() {
    statement_.clear();
    for (;;) {
        if (line_done_ && !read_line()) {
            bool has_text = false;
            for (char c : statement_) {
                if (!is_space(c)) {
                    has_text = true;
                    break;
                }
            }
            if (has_text && !final_handed_out_) {
                final_handed_out_ = true;
                return {Kind::Statement, statement_};
            }
            return {Kind::End, {}};
        }
        if (scan_line()) return finish_statement();
    }
}

}  // namespace kro::notify

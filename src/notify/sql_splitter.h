// SqlSplitter: cuts a block of SQL text into statements, the way a command-line client
// would. A statement ends at the delimiter (";" at first) outside strings and comments;
// "DELIMITER xx" commands change the delimiter and are handed out marked as such.
// Comments stay in the statements. Linear in the length of the text, which it does not
// copy: the text must outlive the splitter.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace kro::notify {

class SqlSplitter {
public:
    enum class Kind { Statement, DelimiterCommand, End };
    struct Piece {
        Kind kind;
        std::string_view text;  // valid until the next call
    };

    SqlSplitter(const char* text, std::size_t length);

    Piece next_statement();
    const std::string& delimiter() const { return delimiter_; }

private:
    bool read_line();
    bool scan_line();  // true when a statement was completed
    bool line_starts_delimiter_command(std::size_t from, std::size_t* command_start) const;
    Piece finish_statement();
    void mark_special_characters();

    std::string_view text_;
    std::size_t read_pos_ = 0;
    std::string_view line_;
    std::size_t scan_pos_ = 0;
    bool line_done_ = true;
    std::string statement_;
    char in_string_ = 0;
    bool in_comment_ = false;
    std::string delimiter_ = ";";
    bool final_handed_out_ = false;
    std::array<bool, 256> special_{};  // characters the scan must look at one by one
};

}  // namespace kro::notify

#include "connection/read_statement.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace kro::connection {

namespace {

// Built-in functions that read and compute only. A name not listed may be a stored
// function, which can change data.
constexpr std::string_view kPureFunctions[] = {
    "abs",        "avg",          "bin",          "bit_and",     "bit_length", "bit_or",       "bit_xor",
    "cast",       "ceil",         "char_length",  "coalesce",    "concat",     "concat_ws",    "conv",
    "convert",    "count",        "crc32",        "database",    "date",       "date_format",  "floor",
    "from_base64", "greatest",    "group_concat", "hex",         "if",         "ifnull",       "isnull",
    "least",      "left",         "length",       "lower",       "lpad",       "max",          "md5",
    "min",        "mod",          "now",          "nullif",      "octet_length", "ord",        "quote",
    "replace",    "right",        "round",        "rpad",        "sha1",       "sha2",         "substr",
    "substring",  "sum",          "to_base64",    "trim",        "unhex",      "upper",        "version",
    "weight_string", "char",
};

bool pure_function(const std::string& name) {
    return std::find(std::begin(kPureFunctions), std::end(kPureFunctions), name) != std::end(kPureFunctions);
}

// Stands for a quoted name in the scan: no built-in function or keyword is spelt so.
constexpr const char* kQuotedName = "`";

bool word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// Walks the text word by word, skipping literals, quoted names and comments; executable
// comments ("/*!40101 ... */", and MariaDB's "/*M!100100 ... */") run on the server, so
// their text is read as statements.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool all_reads() {
        bool statement_start = true;
        bool after_dot = false;
        std::string first, previous;
        while (skip_space()) {
            char c = text_[at_];
            if (c == ';') {
                ++at_;
                statement_start = true;
                continue;
            }
            if (c == '\'' || c == '"' || c == '`') {
                if (!skip_quoted(c)) return false;
                // A quoted name before "(" is a call of a function by that name (a
                // string there is a syntax error): never a built-in that surely reads.
                previous = kQuotedName;
                after_dot = false;
                continue;
            }
            if (word_char(c)) {
                std::string word = take_word();
                // After "db." (or "`db`.") a name is qualified: a stored function, even
                // when it is spelt like a built-in.
                if (after_dot) word.insert(0, ".");
                after_dot = false;
                if (statement_start) {
                    if (word != "select" && word != "show" && word != "set") return false;
                    first = word;
                    statement_start = false;
                } else if (!word_allowed(first, word)) {
                    return false;
                }
                previous = word;
                continue;
            }
            if (c == '(') {
                if (!previous.empty() && !pure_function(previous) && !keyword_before_parenthesis(previous))
                    return false;
            } else if (statement_start) {
                return false;  // a statement that begins with a sign, not a word
            }
            after_dot = c == '.';
            previous.clear();
            ++at_;
        }
        return !first.empty();
    }

private:
    static bool keyword_before_parenthesis(const std::string& word) {
        return word == "in" || word == "and" || word == "or" || word == "not" || word == "on" || word == "from" ||
               word == "where" || word == "select" || word == "as" || word == "by" || word == "having" ||
               word == "when" || word == "then" || word == "else" || word == "exists" || word == "is" ||
               word == "like" || word == "between" || word == "char" || word == "binary" || word == "using" ||
               word == "decimal" || word == "key" || word == "index" || word == "values";
    }

    static bool word_allowed(const std::string& first, const std::string& word) {
        // INTO writes a file or variables; NEXT VALUE FOR moves a sequence on.
        if (first == "select") return word != "into" && word != "next";
        if (first == "set") {
            // SET GLOBAL (or @@global.x), PASSWORD, ROLE and STATEMENT ... FOR <statement>
            // reach beyond the request's session or run another statement.
            return !word.starts_with("global") && !word.starts_with("persist") && word != "password" &&
                   word != "role" && word != "statement";
        }
        return true;  // show
    }

    // False at the end of the text.
    bool skip_space() {
        for (;;) {
            while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
            std::string_view rest = text_.substr(at_);
            if (rest.starts_with("/*!") || rest.starts_with("/*M!") || rest.starts_with("/*m!")) {
                at_ += rest[2] == '!' ? 3 : 4;
                while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) ++at_;
                ++open_versioned_;
            } else if (rest.starts_with("*/") && open_versioned_ > 0) {
                at_ += 2;
                --open_versioned_;
            } else if (rest.starts_with("/*")) {
                std::size_t end = text_.find("*/", at_ + 2);
                at_ = end == std::string_view::npos ? text_.size() : end + 2;
            } else if (rest.starts_with("#") || rest.starts_with("-- ")) {
                std::size_t end = text_.find('\n', at_);
                at_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else {
                return at_ < text_.size();
            }
        }
    }

    bool skip_quoted(char quote) {
        for (++at_; at_ < text_.size(); ++at_) {
            char c = text_[at_];
            if (c == '\\' && quote != '`') {
                ++at_;
            } else if (c == quote) {
                if (at_ + 1 < text_.size() && text_[at_ + 1] == quote) {
                    ++at_;  // a doubled quote stays inside
                    continue;
                }
                ++at_;
                return true;
            }
        }
        return false;  // unterminated: in doubt
    }

    std::string take_word() {
        std::string word;
        while (at_ < text_.size() && (word_char(text_[at_]) || text_[at_] == '.')) {
            word += static_cast<char>(std::tolower(static_cast<unsigned char>(text_[at_])));
            ++at_;
        }
        return word;  // with its qualifier: db.f is never a built-in function
    }

    std::string_view text_;
    std::size_t at_ = 0;
    int open_versioned_ = 0;
};

}  // namespace

bool only_reads(std::string_view text) { return Scanner(text).all_reads(); }

}  // namespace kro::connection

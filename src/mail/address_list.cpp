#include "mail/address_list.h"

#include <cstring>

#include "mail/mime_encoding.h"

namespace kro::mail {

namespace {

bool is_special(char c) { return c != 0 && std::strchr("()<>@,;:\\\".[]", c) != nullptr; }
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_atom_char(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u > 32 && u != 127 && !is_special(c)) || u >= 128;
}

// One lexical word of a phrase or local part, with its form as written and its meaning.
struct Word {
    enum Kind { atom, quoted, dot } kind;
    std::string raw;
    std::string text;
    bool blank_before = false;  // separated from the previous word by blanks or a comment
};

class Parser {
public:
    Parser(std::string_view text, std::vector<MailAddress>& out) : s_(text), out_(out) {}

    bool parse_list() {
        for (;;) {
            if (!skip_cfws()) return false;
            if (at_end()) return true;
            if (peek() == ',') {  // empty list elements are allowed
                ++pos_;
                continue;
            }
            if (!parse_element(true)) return false;
            if (!skip_cfws()) return false;
            if (at_end()) return true;
            if (peek() != ',') return fail("unexpected character");
            ++pos_;
        }
    }

    const std::string& problem() const { return problem_; }

private:
    bool at_end() const { return pos_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[pos_]; }
    bool fail(const char* what) {
        if (problem_.empty()) problem_ = what;
        return false;
    }

    // Skips blanks, line breaks and (nested) comments.
    bool skip_cfws() {
        while (!at_end()) {
            if (is_blank(peek())) {
                ++pos_;
            } else if (peek() == '(') {
                int depth = 0;
                do {
                    if (at_end()) return fail("unterminated comment");
                    char c = s_[pos_++];
                    if (c == '\\') {
                        if (at_end()) return fail("unterminated comment");
                        ++pos_;
                    } else if (c == '(') {
                        ++depth;
                    } else if (c == ')') {
                        --depth;
                    }
                } while (depth > 0);
            } else {
                break;
            }
        }
        return true;
    }

    bool read_quoted(Word& w) {
        w.kind = Word::quoted;
        w.raw = "\"";
        ++pos_;
        for (;;) {
            if (at_end()) return fail("unterminated quoted string");
            char c = s_[pos_++];
            if (static_cast<unsigned char>(c) < 32 && c != '\t') return fail("control character in a quoted string");
            if (c == '"') break;
            if (c == '\\') {
                if (at_end()) return fail("unterminated quoted string");
                w.raw += c;
                c = s_[pos_++];
                if (static_cast<unsigned char>(c) < 32 && c != '\t') return fail("control character in a quoted string");
            }
            w.raw += c;
            w.text += c;
        }
        w.raw += '"';
        return true;
    }

    // Words and dots up to the next other special character.
    bool read_words(std::vector<Word>& words) {
        for (;;) {
            std::size_t before = pos_;
            if (!skip_cfws()) return false;
            bool blank = pos_ > before;
            char c = peek();
            if (c == '"') {
                Word w;
                if (!read_quoted(w)) return false;
                w.blank_before = blank;
                words.push_back(std::move(w));
            } else if (c == '.') {
                ++pos_;
                words.push_back({Word::dot, ".", ".", blank});
            } else if (is_atom_char(c)) {
                std::size_t start = pos_;
                while (!at_end() && is_atom_char(peek())) ++pos_;
                std::string atom(s_.substr(start, pos_ - start));
                words.push_back({Word::atom, atom, atom, blank});
            } else {
                return true;
            }
        }
    }

    // word *("." word): a local part as written, or false when the words are no such chain.
    static bool join_local_part(const std::vector<Word>& words, std::string& out) {
        if (words.empty()) return false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            bool want_word = i % 2 == 0;
            if ((words[i].kind == Word::dot) == want_word) return false;
            out += words[i].raw;
        }
        return words.back().kind != Word::dot;
    }

    static std::string join_phrase(const std::vector<Word>& words) {
        std::string name;
        for (const Word& w : words) {
            if (!name.empty() && w.blank_before) name += ' ';
            name += w.text;
        }
        return name;
    }

    bool parse_domain(std::string& out) {
        for (;;) {
            if (!skip_cfws()) return false;
            if (peek() == '[') {
                std::size_t start = pos_;
                while (!at_end() && peek() != ']') {
                    if (static_cast<unsigned char>(peek()) < 32 || (peek() == '[' && pos_ != start))
                        return fail("bad domain literal");
                    ++pos_;
                }
                if (at_end()) return fail("unterminated domain literal");
                ++pos_;
                out += s_.substr(start, pos_ - start);
            } else if (is_atom_char(peek())) {
                std::size_t start = pos_;
                while (!at_end() && is_atom_char(peek())) ++pos_;
                out += s_.substr(start, pos_ - start);
            } else {
                return fail("missing domain");
            }
            if (!skip_cfws()) return false;
            if (peek() != '.') return true;
            ++pos_;
            out += '.';
        }
    }

    // addr-spec, or a bare local mailbox (no "@domain") that a local server may accept.
    bool parse_addr_spec(std::vector<Word>& words, std::string& mailbox) {
        if (!join_local_part(words, mailbox)) return fail("malformed mailbox");
        if (peek() != '@') return true;
        ++pos_;
        mailbox += '@';
        return parse_domain(mailbox);
    }

    bool parse_angle_addr(std::string display_name) {
        ++pos_;  // '<'
        if (!skip_cfws()) return false;
        if (peek() == '@') {  // an obsolete source route: dropped
            while (!at_end() && peek() != ':' && peek() != '>') ++pos_;
            if (peek() != ':') return fail("malformed route");
            ++pos_;
        }
        std::vector<Word> words;
        if (!read_words(words)) return false;
        if (words.empty()) return fail("empty address");
        MailAddress a{std::move(display_name), {}};
        if (!parse_addr_spec(words, a.mailbox)) return false;
        if (!skip_cfws()) return false;
        if (peek() != '>') return fail("missing '>'");
        ++pos_;
        out_.push_back(std::move(a));
        return true;
    }

    bool parse_element(bool group_allowed) {
        std::vector<Word> words;
        if (!read_words(words)) return false;
        char c = peek();
        if (c == '<') return parse_angle_addr(join_phrase(words));
        if (c == ':') {
            if (!group_allowed) return fail("nested group");
            if (words.empty()) return fail("group without a name");
            ++pos_;
            for (;;) {
                if (!skip_cfws()) return false;
                if (at_end()) return fail("group without ';'");
                if (peek() == ';') {
                    ++pos_;
                    return true;
                }
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                if (!parse_element(false)) return false;
                if (!skip_cfws()) return false;
                if (peek() != ',' && peek() != ';') return fail("unexpected character in group");
            }
        }
        if (words.empty()) return fail("unexpected character");
        MailAddress a;
        if (!parse_addr_spec(words, a.mailbox)) return false;
        out_.push_back(std::move(a));
        return true;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::vector<MailAddress>& out_;
    std::string problem_;
};

// A display name as a phrase: atoms as they are, else one quoted string, else encoded words.
std::string format_display_name(const std::string& name) {
    if (!is_plain_header_text(name)) return encode_header_text(name);
    bool atoms_only = true;
    for (char c : name)
        if (c != ' ' && !is_atom_char(c)) atoms_only = false;
    if (atoms_only) return name;
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

}  // namespace

int parse_address_list(std::string_view text, std::vector<MailAddress>& out, std::string* problem) {
    std::vector<MailAddress> parsed;
    Parser parser(text, parsed);
    if (!parser.parse_list()) {
        if (problem) *problem = parser.problem();
        return 0;
    }
    for (auto& a : parsed) out.push_back(std::move(a));
    return 1;
}

std::string format_address_list(const std::vector<MailAddress>& addresses) {
    std::string out;
    for (const MailAddress& a : addresses) {
        if (!out.empty()) out += ",\r\n ";
        if (a.display_name.empty()) {
            out += a.mailbox;
        } else {
            out += format_display_name(a.display_name);
            out += " <" + a.mailbox + ">";
        }
    }
    return out;
}

}  // namespace kro::mail

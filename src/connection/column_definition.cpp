#include "connection/column_definition.h"

#include <cctype>
#include <cstdlib>
#include <strings.h>

#include "connection/helper_queries.h"
#include "connection/tunnel.h"

namespace kro::connection {

namespace {

struct TypeWord {
    const char* word;
    ColumnType type;
};

// The base words servers print, and the synonyms a definition may have been written with.
constexpr TypeWord type_words[] = {
    {"tinyint", ColumnType::tinyint},     {"bool", ColumnType::tinyint},
    {"boolean", ColumnType::tinyint},     {"smallint", ColumnType::smallint},
    {"mediumint", ColumnType::mediumint}, {"middleint", ColumnType::mediumint},
    {"int", ColumnType::int_},            {"integer", ColumnType::int_},
    {"bigint", ColumnType::bigint},       {"decimal", ColumnType::decimal},
    {"dec", ColumnType::decimal},         {"numeric", ColumnType::decimal},
    {"fixed", ColumnType::decimal},       {"float", ColumnType::float_},
    {"double", ColumnType::double_},      {"real", ColumnType::double_},
    {"bit", ColumnType::bit},             {"char", ColumnType::char_},
    {"varchar", ColumnType::varchar},     {"binary", ColumnType::binary},
    {"varbinary", ColumnType::varbinary}, {"tinytext", ColumnType::tinytext},
    {"text", ColumnType::text},           {"mediumtext", ColumnType::mediumtext},
    {"longtext", ColumnType::longtext},   {"tinyblob", ColumnType::tinyblob},
    {"blob", ColumnType::blob},           {"mediumblob", ColumnType::mediumblob},
    {"longblob", ColumnType::longblob},   {"enum", ColumnType::enum_},
    {"set", ColumnType::set},             {"date", ColumnType::date},
    {"time", ColumnType::time},           {"datetime", ColumnType::datetime},
    {"timestamp", ColumnType::timestamp}, {"year", ColumnType::year},
    {"json", ColumnType::json},           {"geometry", ColumnType::geometry},
    {"point", ColumnType::point},         {"linestring", ColumnType::linestring},
    {"polygon", ColumnType::polygon},     {"multipoint", ColumnType::multipoint},
    {"multilinestring", ColumnType::multilinestring},
    {"multipolygon", ColumnType::multipolygon},
    {"geometrycollection", ColumnType::geometrycollection},
    {"inet4", ColumnType::inet4},         {"inet6", ColumnType::inet6},
    {"uuid", ColumnType::uuid},
};

bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

void skip_blanks(std::string_view text, std::size_t& at) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
}

std::string lower_word(std::string_view text, std::size_t& at) {
    std::string word;
    while (at < text.size() && is_word_char(text[at]))
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(text[at++])));
    return word;
}

ColumnType type_of(const std::string& word) {
    for (const TypeWord& entry : type_words)
        if (word == entry.word) return entry.type;
    return ColumnType::other;
}

// The server writes a member in single quotes with a quote doubled and a backslash or a
// control character escaped by a backslash.
char unescaped(char c) {
    switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'b': return '\b';
    case '0': return '\0';
    case 'Z': return '\x1a';
    default: return c;
    }
}

// "'a','b''c')": the members up to the closing parenthesis; at ends after it.
std::vector<std::string> parse_members(std::string_view text, std::size_t& at) {
    std::vector<std::string> members;
    while (at < text.size()) {
        skip_blanks(text, at);
        if (at >= text.size()) break;
        if (text[at] == ')') {
            ++at;
            break;
        }
        if (text[at] == ',') {
            ++at;
            continue;
        }
        if (text[at] != '\'') {
            ++at;  // not the server's form: step over it
            continue;
        }
        std::string member;
        for (++at; at < text.size(); ++at) {
            if (text[at] == '\\' && at + 1 < text.size()) {
                member += unescaped(text[++at]);
            } else if (text[at] == '\'') {
                if (at + 1 < text.size() && text[at + 1] == '\'') {
                    member += '\'';
                    ++at;
                } else {
                    ++at;
                    break;
                }
            } else {
                member += text[at];
            }
        }
        members.push_back(std::move(member));
    }
    return members;
}

// "(M)" or "(M,D)"; at ends after the closing parenthesis.
void parse_size(std::string_view text, std::size_t& at, ColumnDefinition& column) {
    std::size_t close = text.find(')', at);
    std::string inside(text.substr(at, close == std::string_view::npos ? std::string_view::npos : close - at));
    at = close == std::string_view::npos ? text.size() : close + 1;
    char* end = nullptr;
    unsigned long first = std::strtoul(inside.c_str(), &end, 10);
    if (end == inside.c_str()) return;
    if (column.type == ColumnType::time || column.type == ColumnType::datetime ||
        column.type == ColumnType::timestamp) {
        column.fractional_digits = static_cast<unsigned>(first);
        return;
    }
    column.length = first;
    while (*end == ' ') ++end;
    if (*end == ',') column.scale = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
}

void parse_type(std::string_view text, ColumnDefinition& column) {
    std::size_t at = 0;
    skip_blanks(text, at);
    column.type = type_of(lower_word(text, at));
    skip_blanks(text, at);
    if (at < text.size() && text[at] == '(') {
        ++at;
        if (column.type == ColumnType::enum_ || column.type == ColumnType::set) column.members = parse_members(text, at);
        else parse_size(text, at, column);
    }
    while (at < text.size()) {
        skip_blanks(text, at);
        std::string word = lower_word(text, at);
        if (word.empty()) {
            ++at;
            continue;
        }
        if (word == "unsigned") column.is_unsigned = true;
        else if (word == "zerofill") column.zerofill = true;
    }
}

bool contains_nocase(std::string_view text, std::string_view word) {
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
        if (strncasecmp(text.data() + i, word.data(), word.size()) == 0) return true;
    return false;
}

void parse_extra(ColumnDefinition& column) {
    const std::string_view extra = column.extra;
    column.auto_increment = contains_nocase(extra, "auto_increment");
    column.invisible = contains_nocase(extra, "invisible");
    // "VIRTUAL GENERATED", "STORED GENERATED"; older MariaDB: "VIRTUAL", "PERSISTENT".
    // MySQL's "DEFAULT_GENERATED" marks a default expression, not a generated column.
    if (contains_nocase(extra, "virtual")) column.generated = Generated::virtual_;
    else if (contains_nocase(extra, "stored") || contains_nocase(extra, "persistent")) column.generated = Generated::stored;
}

ColumnKey key_of(const char* text) {
    if (!text) return ColumnKey::none;
    if (strcasecmp(text, "PRI") == 0) return ColumnKey::primary;
    if (strcasecmp(text, "UNI") == 0) return ColumnKey::unique;
    if (strcasecmp(text, "MUL") == 0) return ColumnKey::multiple;
    return ColumnKey::none;
}

}  // namespace

bool ColumnDefinition::is_integer() const {
    return type == ColumnType::tinyint || type == ColumnType::smallint || type == ColumnType::mediumint ||
           type == ColumnType::int_ || type == ColumnType::bigint;
}

bool ColumnDefinition::is_floating() const { return type == ColumnType::float_ || type == ColumnType::double_; }

bool ColumnDefinition::is_numeric() const { return is_integer() || is_floating() || type == ColumnType::decimal; }

bool ColumnDefinition::is_temporal() const {
    return type == ColumnType::date || type == ColumnType::time || type == ColumnType::datetime ||
           type == ColumnType::timestamp || type == ColumnType::year;
}

bool ColumnDefinition::is_text() const {
    return type == ColumnType::char_ || type == ColumnType::varchar || type == ColumnType::tinytext ||
           type == ColumnType::text || type == ColumnType::mediumtext || type == ColumnType::longtext;
}

bool ColumnDefinition::is_binary() const {
    return type == ColumnType::binary || type == ColumnType::varbinary || type == ColumnType::tinyblob ||
           type == ColumnType::blob || type == ColumnType::mediumblob || type == ColumnType::longblob;
}

bool ColumnDefinition::is_member() const { return type == ColumnType::enum_ || type == ColumnType::set; }

bool ColumnDefinition::is_geometry() const {
    return type >= ColumnType::geometry && type <= ColumnType::geometrycollection;
}

ColumnDefinition parse_column(const ColumnTexts& texts) {
    ColumnDefinition column;
    if (texts.field) column.name = texts.field;
    if (texts.type) column.type_text = texts.type;
    parse_type(column.type_text, column);
    if (texts.collation && *texts.collation && strcasecmp(texts.collation, "NULL") != 0) {
        column.collation = texts.collation;
        column.charset = column.collation.substr(0, column.collation.find('_'));
    }
    column.nullable = texts.null && strcasecmp(texts.null, "YES") == 0;
    if (texts.default_value) {
        column.default_kind = ColumnDefault::value;
        column.default_value = texts.default_value;
    } else if (column.nullable) {
        column.default_kind = ColumnDefault::null;
    }
    if (texts.extra) column.extra = texts.extra;
    parse_extra(column);
    column.key = key_of(texts.key);
    return column;
}

std::vector<ColumnDefinition> parse_columns(Tunnel& tunnel, TunnelResult* fields) {
    std::vector<ColumnDefinition> columns;
    if (!fields) return columns;
    const int field = column_index(tunnel, fields, "Field");
    const int type = column_index(tunnel, fields, "Type");
    const int collation = column_index(tunnel, fields, "Collation");
    const int null = column_index(tunnel, fields, "Null");
    const int key = column_index(tunnel, fields, "Key");
    const int default_value = column_index(tunnel, fields, "Default");
    const int extra = column_index(tunnel, fields, "Extra");
    auto text = [](MYSQL_ROW row, int at) -> const char* { return at >= 0 ? row[at] : nullptr; };
    tunnel.data_seek(fields, 0);
    while (MYSQL_ROW row = tunnel.fetch_row(fields)) {
        columns.push_back(parse_column({text(row, field), text(row, type), text(row, collation), text(row, null),
                                        text(row, key), text(row, default_value), text(row, extra)}));
    }
    tunnel.data_seek(fields, 0);
    return columns;
}

const ColumnDefinition* find_column(const std::vector<ColumnDefinition>& columns, std::string_view name) {
    for (const ColumnDefinition& column : columns)
        if (column.name.size() == name.size() && strncasecmp(column.name.data(), name.data(), name.size()) == 0)
            return &column;
    return nullptr;
}

}  // namespace kro::connection

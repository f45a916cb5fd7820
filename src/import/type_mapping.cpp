#include "import/type_mapping.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <strings.h>

#include <sql.h>
#include <sqlext.h>

namespace kro::import {

namespace {

// Character columns longer than this cannot be a VARCHAR in a four-byte character set.
constexpr long kLongestVarchar = 16383;
constexpr long kLongestBlob = 65535;

std::string number(long n) { return std::to_string(n); }

bool is_number(const std::string& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    bool digits = false, dot = false;
    for (; i < text.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) digits = true;
        else if (text[i] == '.' && !dot) dot = true;
        else if ((text[i] == 'e' || text[i] == 'E') && digits && i + 1 < text.size()) {
            std::size_t j = i + 1;
            if (text[j] == '-' || text[j] == '+') ++j;
            return j < text.size() && std::all_of(text.begin() + static_cast<long>(j), text.end(),
                                                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        } else return false;
    }
    return digits;
}

// Length of a quoted literal at the start of text ('it''s'), or 0.
std::size_t quoted_length(const std::string& text) {
    if (text.empty() || text[0] != '\'') return 0;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] != '\'') continue;
        if (i + 1 < text.size() && text[i + 1] == '\'') { ++i; continue; }
        return i + 1;
    }
    return 0;
}

}  // namespace

SourceDbms dbms_kind(const std::string& name) {
    if (name.find("ACCESS") != std::string::npos) return SourceDbms::access;
    if (name.find("MICROSOFT SQL SERVER") != std::string::npos) return SourceDbms::sql_server;
    if (name.find("EXCEL") != std::string::npos) return SourceDbms::excel;
    if (name.find("4D") != std::string::npos) return SourceDbms::four_d;
    if (name.find("POSTGRESQL") != std::string::npos) return SourceDbms::postgresql;
    if (name.find("MDBTOOLS") != std::string::npos) return SourceDbms::mdb_tools;
    return SourceDbms::other;
}

void set_column_default(ImportColumn& c, const std::string& given, bool from_catalog) {
    c.default_kind = DefaultKind::none;
    c.default_value.clear();
    std::string text = given;
    // Enclosing parentheses go: "((0))" is 0.
    while (text.size() >= 2 && text.front() == '(' && text.back() == ')') text = text.substr(1, text.size() - 2);
    if (text.empty() || strcasecmp(text.c_str(), "NULL") == 0) return;
    if (from_catalog && text == "''") return;
    auto set = [&](DefaultKind kind, std::string value) {
        c.default_kind = kind;
        c.default_value = std::move(value);
    };
    const bool timed = strcasecmp(c.type.c_str(), "datetime") == 0 || strcasecmp(c.type.c_str(), "timestamp") == 0;
    if (from_catalog && strcasecmp(text.c_str(), "getdate()") == 0 && timed) return set(DefaultKind::current_time, "NOW()");
    for (const char* now : {"CURRENT_TIMESTAMP", "NOW()", "CURRENT_TIMESTAMP()"})
        if (strcasecmp(text.c_str(), now) == 0)
            return timed ? set(DefaultKind::current_time, text) : set(DefaultKind::left_out, given);
    const std::size_t literal = quoted_length(text);
    const std::size_t cast = from_catalog ? text.find("::") : std::string::npos;
    if (literal > 0 && (literal == text.size() || literal == cast)) {
        std::string value;
        for (std::size_t i = 1; i + 1 < literal; ++i) {
            value += text[i];
            if (text[i] == '\'') ++i;  // '' is one quote
        }
        return set(DefaultKind::text, value);
    }
    const std::string head = cast == std::string::npos ? text : text.substr(0, cast);
    if (is_number(head)) return set(DefaultKind::number, head);
    if (!from_catalog && !c.numeric) return set(DefaultKind::text, text);
    set(DefaultKind::left_out, given);
}

bool is_temporal_type(const std::string& type) {
    for (const char* t : {"date", "datetime", "timestamp", "time"})
        if (strcasecmp(type.c_str(), t) == 0) return true;
    return false;
}

bool exact_temporal_text(std::string& text) {
    auto ends_with = [&](std::string_view end) {
        return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
    };
    if (ends_with(" BC") || text == "infinity" || text == "-infinity") return false;
    if (ends_with("+00")) text.resize(text.size() - 3);
    return true;
}

void fit_key_columns(ImportTable& table, const std::vector<std::string>& key) {
    // Index limits in bytes (InnoDB's large prefixes, MyISAM), four bytes a character.
    const long limit = strcasecmp(table.engine.c_str(), "MyISAM") == 0 ? 1000 : 3072;
    auto is_text = [](const ImportColumn& c) {
        for (const char* t : {"text", "tinytext", "mediumtext", "longtext"})
            if (strcasecmp(c.type.c_str(), t) == 0) return true;
        return false;
    };
    std::vector<ImportColumn*> texts;
    long other_bytes = 0;
    for (const std::string& name : key) {
        for (ImportColumn& c : table.columns) {
            if (c.target_name != name) continue;
            if (is_text(c)) texts.push_back(&c);
            else if (strcasecmp(c.type.c_str(), "varchar") == 0 || strcasecmp(c.type.c_str(), "char") == 0)
                other_bytes += 4 * std::atol(c.length.c_str()) + 2;
            else other_bytes += 32;  // more than any number or date takes
        }
    }
    if (texts.empty()) return;
    const long characters = (limit - other_bytes) / 4 / static_cast<long>(texts.size()) - 1;
    if (characters <= 0) return;  // the server's own error says why
    for (ImportColumn* c : texts) {
        c->type = "varchar";
        c->length = number(characters);
    }
}

namespace {

// An Access column by its type in the file. Every value keeps its range and digits: Currency
// is a 64-bit count of ten-thousandths; Single values come as the driver's decimal text, which
// a DOUBLE holds as written; Decimal's precision and scale are not told by the driver, so the
// widest DECIMAL that holds any of them (28 digits) is taken. Yes/No is never NULL in Access.
// false for a type the driver does not name (it is then mapped by its ODBC type).
bool map_access_type(const CatalogColumn& in, ImportColumn& c, ImportTable& table) {
    struct Kind {
        const char* access;
        const char* type;
        const char* length;
        bool numeric, text, binary;
    };
    static const Kind kinds[] = {
        {"BOOL", "tinyint", "1", true, false, false},     {"BYTE", "tinyint", "3", true, false, false},
        {"INT", "smallint", "6", true, false, false},     {"LONGINT", "int", "11", true, false, false},
        {"MONEY", "decimal", "19,4", true, false, false}, {"FLOAT", "double", "", true, false, false},
        {"DOUBLE", "double", "", true, false, false},     {"NUMERIC", "decimal", "65,30", true, false, false},
        {"DATETIME", "datetime", "", false, false, false}, {"TEXT", "varchar", "", false, true, false},
        {"MEMO", "longtext", "", false, true, false},     {"OLE", "longblob", "", false, false, true},
        {"REPID", "char", "38", false, false, false},
    };
    for (const Kind& k : kinds) {
        if (in.access_type != k.access) continue;
        c.type = k.type;
        c.length = k.length;
        c.numeric = k.numeric;
        c.binary = k.binary;
        c.is_unsigned = in.access_type == "BYTE";
        if (in.access_type == "BOOL") c.not_null = true;
        // A date column by its format (Short Date) is given as a date only.
        if (in.access_type == "DATETIME" && in.odbc_type == SQL_TYPE_DATE) c.type = "date";
        if (in.access_type == "TEXT") c.length = number(std::max(in.size, 1L));
        // Written in braces, as Access shows a Replication ID.
        if (in.access_type == "REPID") c.odbc_type = SQL_GUID;
        if (k.text || k.binary) table.has_long_columns = true;
        return true;
    }
    return false;
}

}  // namespace

void map_column(const CatalogColumn& in, SourceDbms dbms, bool server_5, ImportColumn& c, ImportTable& table) {
    long size = in.size;
    const int digits = in.digits;
    if (digits >= size) size = digits + 1;
    c.source_name = in.name;
    c.target_name = in.name;
    c.odbc_type = in.odbc_type;
    c.comment = in.remarks;
    c.not_null = in.no_nulls;
    c.type.clear();
    c.length.clear();
    c.numeric = c.binary = false;
    if (dbms == SourceDbms::four_d) {
        c.type = "text";
        table.has_long_columns = true;
    } else if (!in.access_type.empty() && map_access_type(in, c, table)) {
    } else {
        switch (in.odbc_type) {
            case SQL_CHAR: case SQL_WCHAR: case SQL_VARCHAR: case SQL_WVARCHAR: {
                const bool fixed = in.odbc_type == SQL_CHAR || in.odbc_type == SQL_WCHAR;
                if (in.size <= 0 || in.size > kLongestVarchar) {
                    c.type = "longtext";  // no VARCHAR holds it whole
                } else {
                    if (fixed) c.type = size >= 256 || server_5 ? "varchar" : "char";
                    else c.type = size < 256 || server_5 ? "varchar" : "text";
                    c.length = number(size);
                }
                table.has_long_columns = true;
                break;
            }
            case SQL_NUMERIC: case SQL_DECIMAL:
                // DECIMAL holds at most 65 digits, 30 of them after the point.
                c.type = "decimal";
                c.length = number(std::min(size, 65L)) + "," + number(std::min(digits, 30));
                c.numeric = true;
                break;
            case SQL_INTEGER: c.type = "int"; c.length = number(size); c.numeric = true; break;
            case SQL_SMALLINT: c.type = "smallint"; c.length = number(size); c.numeric = true; break;
            // FLOAT is ODBC's double precision. REAL is single precision, but its shortest
            // decimal text can lie beyond FLOAT's range (3.4028235e+38): DOUBLE holds every
            // REAL value and gives it back as the same single-precision number.
            case SQL_FLOAT: case SQL_REAL: c.type = "double"; c.numeric = true; break;
            case SQL_DOUBLE: c.type = "double"; c.numeric = true; break;
            case SQL_DATE: case SQL_TYPE_DATE: c.type = "date"; break;
            // Times and date-times keep their fractional digits (at most 6), and DATETIME
            // holds every year TIMESTAMP cannot.
            case SQL_TIME: case SQL_TYPE_TIME:
                c.type = "time";
                if (digits > 0) c.length = number(std::min(digits, 6));
                break;
            case SQL_TYPE_TIMESTAMP:
                c.type = "datetime";
                if (digits > 0) c.length = number(std::min(digits, 6));
                break;
            case -150: c.type = "blob"; table.has_long_columns = true; break;
            case SQL_GUID: c.type = "char"; c.length = "50"; break;
            case SQL_LONGVARCHAR: case SQL_WLONGVARCHAR: c.type = "longtext"; table.has_long_columns = true; break;
            case SQL_BIT: c.type = "bit"; c.length = "1"; c.numeric = true; break;
            case SQL_TINYINT: c.type = "tinyint"; c.length = number(size); c.numeric = true; break;
            case SQL_BIGINT: c.type = "bigint"; c.length = number(size); c.numeric = true; break;
            case SQL_LONGVARBINARY:
                c.type = "longblob";
                c.binary = true;
                table.has_long_columns = true;
                break;
            default:
                if (in.odbc_type >= 101 && in.odbc_type <= 113) {
                    c.type = "integer";
                    c.length = "11";
                    c.numeric = true;
                } else {
                    c.type = in.size <= 0 || in.size > kLongestBlob ? "longblob" : "blob";
                    c.binary = true;
                    table.has_long_columns = true;
                }
        }
    }
    c.scale = scale_of_length(c.length);
    set_column_default(c, in.default_value, true);
}

}  // namespace kro::import

// ColumnDefinition: one column as the server describes it in "show [full] fields", parsed
// once into a typed form. Every decision about a column's type (how a key compares, how a
// value is written back into SQL, how a row is digested) reads this, never the type text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kro::connection {

class Tunnel;
struct TunnelResult;

// The base type, whatever the length and attributes. Names that are C++ keywords end in '_'.
enum class ColumnType {
    tinyint, smallint, mediumint, int_, bigint,
    decimal, float_, double_, bit,
    char_, varchar, binary, varbinary,
    tinytext, text, mediumtext, longtext,
    tinyblob, blob, mediumblob, longblob,
    enum_, set,
    date, time, datetime, timestamp, year,
    json,
    geometry, point, linestring, polygon, multipoint, multilinestring, multipolygon, geometrycollection,
    inet4, inet6, uuid,
    other,
};

enum class ColumnKey { none, primary, unique, multiple };     // "", PRI, UNI, MUL
enum class ColumnDefault { none, null, value };              // no default, DEFAULT NULL, a value
enum class Generated { none, virtual_, stored };

struct ColumnDefinition {
    std::string name;
    std::string type_text;               // as the server wrote it
    ColumnType type = ColumnType::other;
    std::optional<unsigned long> length;  // (M): display width, length or precision
    std::optional<unsigned> scale;        // (M,D)
    unsigned fractional_digits = 0;       // TIME, DATETIME, TIMESTAMP (n)
    bool is_unsigned = false;
    bool zerofill = false;
    std::vector<std::string> members;     // ENUM and SET, unescaped, in their order
    std::string charset;                  // empty when the column has no collation
    std::string collation;
    bool nullable = false;
    // The server shows no default and a NULL default alike; a nullable column without a
    // value has DEFAULT NULL.
    ColumnDefault default_kind = ColumnDefault::none;
    std::string default_value;            // as the server gave it, for ColumnDefault::value
    std::string extra;                    // the Extra text as given
    bool auto_increment = false;
    bool invisible = false;
    Generated generated = Generated::none;
    ColumnKey key = ColumnKey::none;

    bool is_integer() const;    // TINYINT .. BIGINT
    bool is_floating() const;   // FLOAT, DOUBLE
    bool is_numeric() const;    // the integers, DECIMAL, FLOAT, DOUBLE
    bool is_temporal() const;   // DATE, TIME, DATETIME, TIMESTAMP, YEAR
    bool is_text() const;       // CHAR, VARCHAR and the TEXT kinds
    bool is_binary() const;     // BINARY, VARBINARY and the BLOB kinds
    bool is_member() const;     // ENUM, SET: ordered by member number
    bool is_geometry() const;
    bool has_collation() const { return !collation.empty(); }
};

// The texts of one "show [full] fields" row; null where the server sent NULL or the
// result lacks the column (no Collation before 4.1 or in "show columns").
struct ColumnTexts {
    const char* field = nullptr;
    const char* type = nullptr;
    const char* collation = nullptr;
    const char* null = nullptr;
    const char* key = nullptr;
    const char* default_value = nullptr;
    const char* extra = nullptr;
};

ColumnDefinition parse_column(const ColumnTexts& texts);

// Every column of a "show [full] fields" (or "show columns") result, in table order. The
// result's columns are found by their names; the result is read from its first row and
// left at its start.
std::vector<ColumnDefinition> parse_columns(Tunnel& tunnel, TunnelResult* fields);

// The column of that name (case ignored), or null.
const ColumnDefinition* find_column(const std::vector<ColumnDefinition>& columns, std::string_view name);

}  // namespace kro::connection

// Column definitions as MariaDB and MySQL print them in "show full fields", parsed into
// their typed form: member lists that look like type names, quotes and commas inside
// members, attributes, widths, character sets, defaults and the Extra texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection/column_definition.h"

using namespace kro::connection;

namespace {

struct Case {
    ColumnTexts texts;
    ColumnType type;
    std::optional<unsigned long> length;
    std::optional<unsigned> scale;
    unsigned fractional_digits;
    bool is_unsigned, zerofill;
    std::vector<std::string> members;
    std::string charset;
    ColumnDefault default_kind;
    bool auto_increment, invisible;
    Generated generated;
    ColumnKey key;
};

TEST(ColumnDefinition, ServerTypeTextsParseIntoTheirTypedForm) {
    using T = ColumnType;
    using D = ColumnDefault;
    using G = Generated;
    using K = ColumnKey;
    const Case cases[] = {
        // Members that look like type names are members, not the type.
        {{"a", "enum('int','timestamp')", "utf8mb4_general_ci", "NO", "PRI", nullptr, ""},
         T::enum_, {}, {}, 0, false, false, {"int", "timestamp"}, "utf8mb4", D::none, false, false, G::none, K::primary},
        {{"b", "set('real','fake')", "utf8mb4_general_ci", "YES", "", nullptr, ""},
         T::set, {}, {}, 0, false, false, {"real", "fake"}, "utf8mb4", D::null, false, false, G::none, K::none},
        // A doubled quote, a comma, a parenthesis and escaped backslash and line break inside members.
        {{"c", "enum('it''s','a,b','x)y','x\\\\y','l1\\nl2','')", "latin1_swedish_ci", "YES", "", "a,b", ""},
         T::enum_, {}, {}, 0, false, false, {"it's", "a,b", "x)y", "x\\y", "l1\nl2", ""}, "latin1", D::value, false,
         false, G::none, K::none},
        {{"d", "bit(8)", nullptr, "YES", "", nullptr, ""},
         T::bit, 8ul, {}, 0, false, false, {}, "", D::null, false, false, G::none, K::none},
        {{"e", "double unsigned", nullptr, "YES", "UNI", nullptr, ""},
         T::double_, {}, {}, 0, true, false, {}, "", D::null, false, false, G::none, K::unique},
        {{"f", "int(10) unsigned zerofill", nullptr, "NO", "", "0000000005", ""},
         T::int_, 10ul, {}, 0, true, true, {}, "", D::value, false, false, G::none, K::none},
        {{"g", "timestamp(6)", nullptr, "NO", "", "current_timestamp(6)", "on update current_timestamp(6)"},
         T::timestamp, {}, {}, 6, false, false, {}, "", D::value, false, false, G::none, K::none},
        {{"h", "decimal(65,30)", nullptr, "YES", "MUL", nullptr, ""},
         T::decimal, 65ul, 30u, 0, false, false, {}, "", D::null, false, false, G::none, K::multiple},
        {{"i", "varchar(20)", "latin1_german1_ci", "NO", "", nullptr, ""},
         T::varchar, 20ul, {}, 0, false, false, {}, "latin1", D::none, false, false, G::none, K::none},
        {{"j", "int(11)", nullptr, "YES", "", nullptr, "INVISIBLE"},
         T::int_, 11ul, {}, 0, false, false, {}, "", D::null, false, true, G::none, K::none},
        {{"k", "int(11)", nullptr, "YES", "", nullptr, "VIRTUAL GENERATED"},
         T::int_, 11ul, {}, 0, false, false, {}, "", D::null, false, false, G::virtual_, K::none},
        {{"l", "int", nullptr, "YES", "", nullptr, "STORED GENERATED"},
         T::int_, {}, {}, 0, false, false, {}, "", D::null, false, false, G::stored, K::none},
        {{"m", "bigint unsigned", nullptr, "NO", "PRI", nullptr, "auto_increment"},
         T::bigint, {}, {}, 0, true, false, {}, "", D::none, true, false, G::none, K::primary},
        // MySQL: a default expression is not a generated column.
        {{"n", "datetime(3)", nullptr, "YES", "", "CURRENT_TIMESTAMP(3)", "DEFAULT_GENERATED"},
         T::datetime, {}, {}, 3, false, false, {}, "", D::value, false, false, G::none, K::none},
        // The text "NULL" is a default value; only the server's NULL is none.
        {{"o", "varchar(10)", "utf8mb4_general_ci", "YES", "", "NULL", ""},
         T::varchar, 10ul, {}, 0, false, false, {}, "utf8mb4", D::value, false, false, G::none, K::none},
        {{"p", "longtext", "utf8mb4_bin", "YES", "", nullptr, ""},
         T::longtext, {}, {}, 0, false, false, {}, "utf8mb4", D::null, false, false, G::none, K::none},
        {{"q", "point", "NULL", "NO", "", nullptr, ""},
         T::point, {}, {}, 0, false, false, {}, "", D::none, false, false, G::none, K::none},
        {{"r", "interval", nullptr, "NO", "", nullptr, ""},
         T::other, {}, {}, 0, false, false, {}, "", D::none, false, false, G::none, K::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texts.type);
        const ColumnDefinition d = parse_column(c.texts);
        EXPECT_EQ(d.name, c.texts.field);
        EXPECT_EQ(d.type_text, c.texts.type);
        EXPECT_EQ(d.type, c.type);
        EXPECT_EQ(d.length, c.length);
        EXPECT_EQ(d.scale, c.scale);
        EXPECT_EQ(d.fractional_digits, c.fractional_digits);
        EXPECT_EQ(d.is_unsigned, c.is_unsigned);
        EXPECT_EQ(d.zerofill, c.zerofill);
        EXPECT_EQ(d.members, c.members);
        EXPECT_EQ(d.charset, c.charset);
        EXPECT_EQ(d.collation, c.charset.empty() ? "" : c.texts.collation);
        EXPECT_EQ(d.nullable, std::string(c.texts.null) == "YES");
        EXPECT_EQ(d.default_kind, c.default_kind);
        EXPECT_EQ(d.default_value, c.texts.default_value ? c.texts.default_value : "");
        EXPECT_EQ(d.auto_increment, c.auto_increment);
        EXPECT_EQ(d.invisible, c.invisible);
        EXPECT_EQ(d.generated, c.generated);
        EXPECT_EQ(d.key, c.key);
    }
    // The classes the jobs decide by.
    auto of = [](const char* type) { return parse_column({"x", type}); };
    EXPECT_TRUE(of("tinyint(1)").is_integer() && of("mediumint(8) unsigned").is_numeric());
    EXPECT_TRUE(of("float(7,3)").is_floating() && !of("decimal(5,2)").is_floating() && of("decimal(5,2)").is_numeric());
    EXPECT_FALSE(of("bit(1)").is_numeric() || of("enum('int')").is_numeric() || of("set('double')").is_floating());
    EXPECT_TRUE(of("year(4)").is_temporal() && of("date").is_temporal() && !of("enum('daytime')").is_temporal());
    EXPECT_TRUE(of("char(3)").is_text() && of("tinytext").is_text() && !of("binary(4)").is_text());
    EXPECT_TRUE(of("varbinary(8)").is_binary() && of("longblob").is_binary() && !of("bit(8)").is_binary());
    EXPECT_TRUE(of("enum('a')").is_member() && of("SET('a')").is_member() && of("multipolygon").is_geometry());
}

}  // namespace

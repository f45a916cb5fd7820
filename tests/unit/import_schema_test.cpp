#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include "import/schema_builder.h"

using namespace kro::import;

namespace {

CatalogColumn col(const char* name, int odbc_type, long size, int digits = 0, bool no_nulls = false) {
    CatalogColumn c;
    c.name = name;
    c.odbc_type = odbc_type;
    c.size = size;
    c.digits = digits;
    c.no_nulls = no_nulls;
    return c;
}

CatalogColumn flagged(CatalogColumn c, bool is_unsigned, bool auto_unique) {
    c.is_unsigned = is_unsigned;
    c.auto_unique = auto_unique;
    return c;
}

struct SchemaCase {
    const char* what;
    std::vector<CatalogColumn> source;
    TableKeys keys;
    std::string expected;
};

std::string build(const SchemaCase& c) {
    ImportTable table;
    table.target_name = "t";
    table.engine = "InnoDB";
    map_source_columns(c.source, SourceDbms::other, true, table);
    TargetFacts target;
    target.database = "db";
    target.escape = [](const std::string& text) {
        std::string out;
        for (char ch : text) out += ch == '\'' ? std::string("\\'") : std::string(1, ch);
        return out;
    };
    return create_table_text(table, c.keys, target);
}

}  // namespace

// The whole statement for each source description: the type decisions that keep every
// value (signedness, precision and scale, fractional seconds, REAL/FLOAT as DOUBLE, text
// lengths, binary), and the keys (no second key for the primary one, AUTO_INCREMENT with
// or without its own UNIQUE).
TEST(ImportSchemaBuilder, EachSourceDescriptionGivesItsCreateTableStatement) {
    const std::string tail = ")Engine=InnoDB DEFAULT CHARSET = utf8mb4";
    const std::vector<SchemaCase> cases = {
        {"integers: unsigned only where the type is an integer; a counter keeps its width and its key",
         {flagged(col("id", SQL_BIGINT, 19, 0, true), true, true), flagged(col("n", SQL_INTEGER, 10), true, false),
          flagged(col("d", SQL_DOUBLE, 15), true, false), flagged(col("s", SQL_SMALLINT, 5), false, false)},
         {{"id"}, {}, "UNIQUE"},
         "CREATE TABLE `db`.`t`( `id` bigint(19) UNSIGNED  NOT NULL  AUTO_INCREMENT , `n` int(10) UNSIGNED  NULL ,"
         " `d` double NULL , `s` smallint(5) NULL , PRIMARY KEY(`id`)" + tail},
        {"an auto-increment column outside every key gets its own UNIQUE; a non-integer counter becomes INTEGER",
         {flagged(col("k", SQL_VARCHAR, 8, 0, true), false, false), flagged(col("seq", SQL_NUMERIC, 10), false, true)},
         {{"k"}, {}, "UNIQUE"},
         "CREATE TABLE `db`.`t`( `k` varchar(8) NOT NULL , `seq` integer(11) NULL  UNIQUE AUTO_INCREMENT ,"
         " PRIMARY KEY(`k`)" + tail},
        {"decimals, date-times with fractions, REAL and FLOAT, texts and binaries",
         {col("price", SQL_DECIMAL, 12, 4), col("at", SQL_TYPE_TIMESTAMP, 26, 6), col("t", SQL_TYPE_TIME, 15, 3),
          col("r", SQL_REAL, 7), col("f", SQL_FLOAT, 15), col("name", SQL_WVARCHAR, 40),
          col("note", SQL_WLONGVARCHAR, 0), col("pic", SQL_LONGVARBINARY, 0), col("day", SQL_TYPE_DATE, 10)},
         {},
         "CREATE TABLE `db`.`t`( `price` decimal(12,4) NULL , `at` datetime(6) NULL , `t` time(3) NULL ,"
         " `r` double NULL , `f` double NULL , `name` varchar(40) NULL , `note` longtext NULL , `pic` longblob,"
         " `day` date NULL " + tail},
        {"a unique index equal to the primary key is left out; other indexes keep their order; a blob key has a prefix",
         {col("a", SQL_INTEGER, 10, 0, true), col("b", SQL_VARBINARY, 100, 0, true), col("c", SQL_VARCHAR, 5)},
         {{"a", "b"},
          {{"pk_copy", true, {{"a", " ASC "}, {"b", " ASC "}}},
           {"by_c", false, {{"c", " DESC "}, {"a", " ASC "}}},
           {"u_b", true, {{"b", " ASC "}}}},
          "UNIQUE"},
         "CREATE TABLE `db`.`t`( `a` int(10) NOT NULL , `b` blob NOT NULL , `c` varchar(5) NULL ,"
         " PRIMARY KEY(`a`,`b`(10)),  KEY `by_c`(`c`  DESC ,`a`  ASC ),UNIQUE KEY `u_b`(`b`(6) ASC )" + tail},
    };
    for (const SchemaCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(build(c), c.expected);
    }
}

TEST(ImportSchemaBuilder, CommentsAndDefaultsAreEscapedAndTheJobFilesOwnStatementWins) {
    ImportTable table;
    table.target_name = "t";
    table.comment = "it's";
    CatalogColumn c = col("x", SQL_INTEGER, 10);
    c.remarks = "o'k";
    c.default_value = "((7))";
    CatalogColumn s = col("s", SQL_VARCHAR, 10);
    s.default_value = "'a''b'::text";
    CatalogColumn n = col("n", SQL_INTEGER, 10);
    n.default_value = "nextval('n_seq'::regclass)";
    map_source_columns({c, s, n}, SourceDbms::other, true, table);
    TargetFacts target;
    target.database = "d";
    target.server_4_1 = true;
    target.utf8mb4 = false;
    target.escape = [](const std::string& text) { return "<" + text + ">"; };
    EXPECT_EQ(create_table_text(table, {}, target),
              "CREATE TABLE `d`.`t`( `x` int(10) NULL DEFAULT 7 COMMENT '<o'k>', `s` varchar(10) NULL DEFAULT '<a'b>',"
              " `n` int(10) NULL ) DEFAULT CHARSET = utf8 COMMENT = '<it's>'");
    table.create_statement = "CREATE TABLE mine (x int)";
    EXPECT_EQ(create_table_text(table, {}, target), "CREATE TABLE mine (x int)");
}

// The tuple conditions of the key-order path, the chunk statements' texts, and the key
// comparison that must agree with the servers' ORDER BY.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "connection/column_definition.h"
#include "sync/chunk_statements.h"
#include "sync/key_conditions.h"
#include "sync/key_order.h"

using namespace kro::sync;
using kro::connection::parse_column;

namespace {

TEST(SyncRangeConditions, TupleConditionsSplitTheKeyOrderAtTheBoundary) {
    std::vector<BoundaryValue> ab{{"a", "1", true}, {"b", "2", true}};
    EXPECT_EQ(greater_than(ab), "( `a`  > 1) OR ( `a`  = 1 AND  `b`  > 2)");
    EXPECT_EQ(at_most(ab), "( `a`  < 1) OR ( `a`  = 1 AND  `b`  <= 2)");

    std::vector<BoundaryValue> one{{"na`me", "it\\'s", false}};
    EXPECT_EQ(greater_than(one), "( `na``me`  > 'it\\'s')");
    EXPECT_EQ(at_most(one), "( `na``me`  <= 'it\\'s')");

    std::vector<BoundaryValue> abc{{"a", "x", false}, {"b", "2", true}, {"c", "3", true}};
    EXPECT_EQ(at_most(abc),
              "( `a`  < 'x') OR ( `a`  = 'x' AND  `b`  < 2) OR ( `a`  = 'x' AND  `b`  = 2 AND  `c`  <= 3)");
}

TEST(SyncRangeConditions, ChunkChecksumStatementsKeepTheirExactText) {
    const char* format =
        "SELECT %d AS chunk_num, COUNT(*) AS cnt, BIT_XOR(CAST(CONV(LEFT(MD5(CONCAT_WS('#', %s)), 16), 16, 10) AS "
        "UNSIGNED)) AS crc FROM %s";
    char expected[2048];
    std::snprintf(expected, sizeof expected, format, 7, "`a`,`b`+0", "`t`");
    ChunkTable table{"`t`", "`a`,`b`+0", "`a`,`b`", ""};
    EXPECT_EQ(range_checksum_target(7, table, "where `a` < 5"), std::string(expected) + " where `a` < 5 FOR UPDATE");
    EXPECT_EQ(range_checksum_source(7, table, "where `a` < 5"),
              std::string(expected) + " where `a` < 5 LOCK IN SHARE MODE");
    EXPECT_EQ(order_checksum_source(7, table, " WHERE ( 1 = 1 )"),
              " " + std::string(expected) + "  WHERE ( 1 = 1 )  LOCK IN SHARE MODE ");
    table.filter = "a > 2";
    EXPECT_EQ(range_checksum_source(7, table, "where `a` < 5"),
              std::string(expected) + " where `a` < 5 and (a > 2) LOCK IN SHARE MODE");
    EXPECT_EQ(order_checksum_source(7, table, " WHERE ( 1 = 1 )"),
              " " + std::string(expected) + "  WHERE ( 1 = 1 )  AND(a > 2) LOCK IN SHARE MODE  ");
    EXPECT_EQ(order_checksum_target(7, table, " WHERE ( 1 = 1 )"),
              std::string(expected) + "  WHERE ( 1 = 1 )  FOR UPDATE");
    EXPECT_EQ(order_by_list({"a", "b`c"}), "ORDER BY `a` ASC,`b``c` ASC");
}

TEST(SyncRangeConditions, KeysCompareAsTheServerOrdersThem) {
    auto cmp = [](KeyOrder order, std::string a, std::string b) {
        return compare_key_values(order, a.data(), a.size(), b.data(), b.size());
    };
    EXPECT_LT(cmp(KeyOrder::decimal, "9.00", "10.00"), 0);
    EXPECT_LT(cmp(KeyOrder::decimal, "-10.00", "-9.50"), 0);
    EXPECT_LT(cmp(KeyOrder::decimal, "-1.5", "-1.25"), 0);
    EXPECT_EQ(cmp(KeyOrder::decimal, "-0.00", "0.0"), 0);
    EXPECT_GT(cmp(KeyOrder::decimal, "0.01", "0.001"), 0);
    EXPECT_LT(cmp(KeyOrder::time, "-01:00:00", "00:00:00"), 0);
    EXPECT_LT(cmp(KeyOrder::time, "99:00:00", "100:00:00"), 0);
    EXPECT_LT(cmp(KeyOrder::time, "-100:00:00", "-99:59:59.5"), 0);
    EXPECT_LT(cmp(KeyOrder::time, "10:00:00.25", "10:00:00.3"), 0);
    EXPECT_LT(cmp(KeyOrder::integer, "-9223372036854775808", "18446744073709551615"), 0);
    EXPECT_LT(cmp(KeyOrder::integer, "99", "100"), 0);
    EXPECT_LT(cmp(KeyOrder::floating, "9.5", "10"), 0);
    EXPECT_LT(cmp(KeyOrder::floating, "-1e+20", "-5"), 0);
    EXPECT_LT(cmp(KeyOrder::bytes, std::string("a\0b", 3), std::string("a\0c", 3)), 0);
    EXPECT_LT(cmp(KeyOrder::bytes, "ab", "ab\x01"), 0);
    EXPECT_GT(cmp(KeyOrder::bytes, "\xff", "\x01"), 0);

    EXPECT_EQ(key_sort(parse_column({"k", "varchar(20)", "utf8mb4_general_ci"})).expression, "WEIGHT_STRING(`k` AS CHAR(20))");
    EXPECT_EQ(key_sort(parse_column({"k", "varchar(20)", "utf8mb4_nopad_bin"})).expression, "WEIGHT_STRING(`k`)");
    EXPECT_EQ(key_sort(parse_column({"k", "enum('b','a')", "utf8mb4_general_ci"})).expression, "`k`+0");
    EXPECT_EQ(key_sort(parse_column({"k", "decimal(10,2)", nullptr})).order, KeyOrder::decimal);
    EXPECT_EQ(key_sort(parse_column({"k", "time(3)", nullptr})).order, KeyOrder::time);
    EXPECT_EQ(key_sort(parse_column({"k", "timestamp", nullptr})).order, KeyOrder::bytes);
    EXPECT_EQ(key_sort(parse_column({"k", "bigint(20) unsigned", nullptr})).order, KeyOrder::integer);
    EXPECT_EQ(key_sort(parse_column({"k", "varbinary(8)", "NULL"})).order, KeyOrder::bytes);
}

}  // namespace

// Key-range arithmetic: BigInt, the range plans of numeric keys, and the conditions that
// select a chunk. The strongest check is the partition: every key between the table's
// minimum and maximum falls into exactly one chunk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sync/big_int.h"
#include "sync/range_plan.h"

using namespace kro::sync;

namespace {

std::string text_of(BigInt value) { return value.text(); }

TEST(SyncRangeBigInt, DividesTowardMinusInfinityAndKeepsHugeValuesExact) {
    BigInt a;
    ASSERT_TRUE(a.set("-7"));
    ASSERT_TRUE(a.divide(2));
    EXPECT_EQ(text_of(a), "-4");
    ASSERT_TRUE(a.set("7"));
    ASSERT_TRUE(a.divide(BigInt(-2)));
    EXPECT_EQ(text_of(a), "-4");
    EXPECT_FALSE(a.divide(0));
    EXPECT_FALSE(a.divide(BigInt(0)));
    EXPECT_EQ(text_of(a), "-4");

    BigInt top;
    ASSERT_TRUE(top.set("18446744073709551615"));
    BigInt bottom;
    ASSERT_TRUE(bottom.set("-9223372036854775808"));
    top.subtract(bottom).multiply(1000);
    EXPECT_EQ(text_of(top), "27670116110564327423000");
    EXPECT_GT(top.compare(bottom), 0);
    EXPECT_LT(bottom.compare(-9223372036854775807LL), 0);
    EXPECT_EQ(bottom.compare(bottom), 0);

    for (const char* bad : std::initializer_list<const char*>{"", "-", "12a", "1.5", " 1", nullptr}) EXPECT_FALSE(a.set(bad)) << (bad ? bad : "null");
    ASSERT_TRUE(a.set("+12"));
    EXPECT_EQ(text_of(a), "12");
}

TEST(SyncRangeBigInt, TextStopsAt511Digits) {
    BigInt a;
    ASSERT_TRUE(a.set(("-" + std::string(511, '9')).c_str()));
    ASSERT_NE(a.text(), nullptr);
    EXPECT_EQ(std::string(a.text()).size(), 512u);
    a.subtract(BigInt(1));
    EXPECT_EQ(a.text(), nullptr);
}

// The chunks whose bounds hold value (as the server would compare the bound texts).
int chunks_holding(const KeyRangePlan& plan, double value) {
    if (!plan.has_bounds()) return 1;
    int count = 0;
    auto num = [](const std::string& text) { return std::strtod(text.c_str(), nullptr); };
    for (int k = 0; k <= plan.last(); ++k) {
        const auto& b = plan.bounds()[k];
        bool in = k == 0 ? value < num(b.high)
                  : k == plan.last() ? value >= num(b.low)
                                     : value >= num(b.low) && value < num(b.high);
        count += in;
    }
    return count;
}

void expect_partition(const KeyRangePlan& plan, double min, double max) {
    for (int i = 0; i <= 2000; ++i) {
        double v = min + (max - min) * i / 2000;
        ASSERT_EQ(chunks_holding(plan, v), 1) << "key " << v;
    }
    for (int k = 1; k <= plan.last(); ++k) EXPECT_EQ(plan.bounds()[k].low, plan.bounds()[k - 1].high);
}

TEST(SyncRangePlan, IntegerKeysGetChunksOfAboutAThousandRowsThatCoverEveryKeyOnce) {
    KeyRangePlan plan("id", RangeKind::integer, 1000000);
    ASSERT_TRUE(plan.make_plan("1", "1000000"));
    ASSERT_TRUE(plan.has_bounds());
    EXPECT_EQ(plan.bounds()[0].high, "999");
    EXPECT_EQ(plan.bounds()[1].high, "1998");
    EXPECT_EQ(plan.bounds()[plan.last() - 1].high, "1000000");
    EXPECT_EQ(plan.range_condition(0), "where `id` < 999");
    EXPECT_EQ(plan.range_condition(1), "where `id` >= 999  and `id` < 1998");
    EXPECT_EQ(plan.range_condition(plan.last()), "where `id` >= 1000000");
    expect_partition(plan, 1, 1000000);

    KeyRangePlan from_zero("id", RangeKind::integer, 1000000);
    ASSERT_TRUE(from_zero.make_plan("0", "999999"));
    EXPECT_EQ(from_zero.last(), 1001);
    EXPECT_EQ(from_zero.bounds()[1000].high, "999999");

    KeyRangePlan narrow("id", RangeKind::integer, 100000);
    ASSERT_TRUE(narrow.make_plan("1000", "2000"));
    EXPECT_EQ(narrow.bounds()[0].high, "1000");
    EXPECT_EQ(narrow.bounds()[100].high, "2000");
    EXPECT_EQ(narrow.last(), 101);
    expect_partition(narrow, 1000, 2000);
}

TEST(SyncRangePlan, NegativeHugeAndDegenerateRangesStayOnePartition) {
    // Negative keys are cut from their minimum, not gathered into one chunk.
    KeyRangePlan negative("k", RangeKind::integer, 100000);
    ASSERT_TRUE(negative.make_plan("-500000", "-400000"));
    EXPECT_GT(negative.last(), 90);
    expect_partition(negative, -500000, -400000);

    KeyRangePlan extremes("k", RangeKind::integer, 5000);
    ASSERT_TRUE(extremes.make_plan("-9223372036854775808", "18446744073709551615"));
    ASSERT_TRUE(extremes.has_bounds());
    for (int k = 1; k < extremes.last(); ++k) {
        BigInt low, high;
        ASSERT_TRUE(low.set(extremes.bounds()[k].low.c_str()));
        ASSERT_TRUE(high.set(extremes.bounds()[k].high.c_str()));
        EXPECT_LT(low.compare(high), 0) << k;
    }
    BigInt last_low, max;
    ASSERT_TRUE(last_low.set(extremes.bounds()[extremes.last()].low.c_str()));
    ASSERT_TRUE(max.set("18446744073709551615"));
    EXPECT_LE(last_low.compare(max), 0);

    for (auto [min, max, rows] : {std::tuple{"5", "5", 1}, {"5", "5", 3000}, {"1", "900", 900}, {"7", "9", 0}}) {
        KeyRangePlan one("k", RangeKind::integer, rows);
        ASSERT_TRUE(one.make_plan(min, max));
        EXPECT_FALSE(one.has_bounds()) << min << ".." << max << " rows " << rows;
        EXPECT_EQ(one.range_condition(0), " where (1 = 1)");
    }
    KeyRangePlan bad("k", RangeKind::integer, 10);
    EXPECT_FALSE(bad.make_plan("1", "x"));
}

TEST(SyncRangePlan, FloatKeysAreCutOverTheirWholeRangeWithTheMaximumAsLastBound) {
    KeyRangePlan fractional("f", RangeKind::floating, 1000);
    ASSERT_TRUE(fractional.make_plan("5000.5", "6000.5"));
    ASSERT_TRUE(fractional.has_bounds());
    EXPECT_EQ(fractional.bounds()[fractional.last()].low, "6000.5");
    expect_partition(fractional, 5000.5, 6000.5);

    KeyRangePlan negative("f", RangeKind::floating, 20000);
    ASSERT_TRUE(negative.make_plan("-1e+06", "-12.25"));
    EXPECT_GT(negative.last(), 10);
    expect_partition(negative, -1e6, -12.25);
    EXPECT_EQ(negative.range_condition(0), "where `f` < -1000000");

    KeyRangePlan huge("f", RangeKind::floating, 3000);
    ASSERT_TRUE(huge.make_plan("-1.5e300", "2.5e300"));
    expect_partition(huge, -1.5e300, 2.5e300);
}

}  // namespace

#include <gtest/gtest.h>

#include "report/progress_line.h"

using namespace kro::report;

TEST(ProgressText, CountsRateAndTimeLeftFromTheFirstSecondOn) {
    EXPECT_EQ(progress_text(100, 20000, "rows", 0.1), "100 of 20,000 rows (0%)");
    EXPECT_EQ(progress_text(250000, 1000000, "rows", 5.0), "250,000 of 1,000,000 rows (25%), 50,000 rows/s, 0:15 left");
    EXPECT_EQ(progress_text(1000, 3601000, "chunks", 1.0), "1,000 of 3,601,000 chunks (0%), 1,000 chunks/s, 1:00:00 left");
    // Without a total, or past an estimated one, nothing is left to tell.
    EXPECT_EQ(progress_text(1234567, 0, "rows", 2.0), "1,234,567 rows, 617,283 rows/s");
    EXPECT_EQ(progress_text(1500, 1000, "rows", 3.0), "1,500 of 1,500 rows (100%), 500 rows/s");
}

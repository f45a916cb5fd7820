#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

#include "connection/http_compression.h"

using namespace kro::connection;

namespace {

constexpr std::size_t kPage = 4 * AnswerCompression::kMinSampleBytes;

// Feeds one answer of kPage bytes in the form the choice asks for, at the given rates
// (bytes per millisecond); returns whether it was asked for compressed.
bool answer(AnswerCompression& choice, double plain_rate, double compressed_rate) {
    const bool compressed = choice.wanted();
    const double ms = static_cast<double>(kPage) / (compressed ? compressed_rate : plain_rate);
    choice.record(compressed, kPage, std::chrono::nanoseconds(static_cast<long long>(ms * 1e6)));
    return compressed;
}

}  // namespace

TEST(AnswerCompressionTest, TriesBothFormsThenKeepsTheFasterOne) {
    for (bool slow_link : {false, true}) {
        AnswerCompression choice;
        const double plain = slow_link ? 6000 : 200000, compressed = slow_link ? 20000 : 50000;
        // Answers too small to time change nothing.
        EXPECT_TRUE(choice.wanted());
        choice.record(true, AnswerCompression::kMinSampleBytes - 1, std::chrono::milliseconds(1));
        choice.record(true, kPage, std::chrono::nanoseconds(0));
        EXPECT_TRUE(choice.trying());
        EXPECT_TRUE(answer(choice, plain, compressed));
        EXPECT_TRUE(choice.trying());
        EXPECT_FALSE(answer(choice, plain, compressed));
        EXPECT_FALSE(choice.trying());
        for (int i = 0; i < 10; ++i) EXPECT_EQ(answer(choice, plain, compressed), slow_link) << i;
        // One answer of the chosen form slowed by a busy host does not turn the choice.
        const bool chosen = answer(choice, plain / 3, compressed / 3);
        EXPECT_EQ(answer(choice, plain, compressed), chosen);
    }
}

// A form not in use is timed again only by a retry: a slow link that became fast is
// noticed within kRetryBytes, and plain answers follow from then on.
TEST(AnswerCompressionTest, TriesTheOtherFormAgainAndFollowsALinkThatBecameFast) {
    AnswerCompression choice;
    answer(choice, 6000, 20000);
    answer(choice, 6000, 20000);
    std::size_t compressed_answers = 0;
    while (!choice.trying()) {
        ASSERT_TRUE(answer(choice, 200000, 50000));
        ++compressed_answers;
    }
    EXPECT_GT(compressed_answers, 0u);
    EXPECT_LE(compressed_answers, AnswerCompression::kRetryBytes / kPage);
    EXPECT_FALSE(answer(choice, 200000, 50000));
    EXPECT_FALSE(choice.trying());
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(answer(choice, 200000, 50000)) << i;
}

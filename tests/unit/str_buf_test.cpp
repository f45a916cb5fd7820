#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "common/str_buf.h"

using namespace kro::common;

TEST(StrBufCapacity, AppendGrowsToExactlyTheNeededSize) {
    StrBuf s;
    EXPECT_EQ(s.capacity(), 256u);
    std::string thousand(1000, 'x');
    s.append(thousand.c_str());
    EXPECT_EQ(s.capacity(), 1001u);
    EXPECT_EQ(s.length(), 1000u);
    s.append("ab", 1);
    EXPECT_EQ(s.capacity(), 1002u);
    EXPECT_EQ(s.view().back(), 'a');
}

TEST(StrBufCapacity, FormattingDoublesUntilTheTextFits) {
    StrBuf s;
    std::string text(300, 'y');
    s.format("%s", text.c_str());
    EXPECT_EQ(s.capacity(), 512u);
    EXPECT_EQ(s.str(), text);
    s.append_format("%s%d", text.c_str(), 7);
    EXPECT_EQ(s.capacity(), 1024u);
    EXPECT_EQ(s.length(), 601u);
    StrBuf zero(0);
    zero.append_format("%d", 42);
    EXPECT_EQ(zero.capacity(), 256u);
    EXPECT_EQ(zero.str(), "42");
}

TEST(StrBufCapacity, AFormattingErrorLeavesTheTextWithoutGrowing) {
    StrBuf s;
    s.append("kept");
    s.append_format("%ls", L"\u20ac");  // not representable in the C locale: an encoding error
    EXPECT_EQ(s.str(), "kept");
    EXPECT_EQ(s.capacity(), 256u);
}

TEST(StrBufCapacity, ReserveEmptiesAndOnlyGrows) {
    StrBuf s;
    s.append("abc");
    s.reserve(0);
    EXPECT_EQ(s.str(), "abc");
    s.reserve(100);
    EXPECT_EQ(s.capacity(), 256u);
    EXPECT_TRUE(s.empty());
    s.reserve(8192);
    EXPECT_EQ(s.capacity(), 8192u);
    s.append("x");
    s.clear();
    EXPECT_EQ(s.capacity(), 8192u);
}

TEST(StrBufCapacity, AppendingItsOwnTextWhileGrowingIsSafe) {
    StrBuf s(4);
    s.append("abc");
    s.append(s.c_str(), 3);
    EXPECT_EQ(s.str(), "abcabc");
}

TEST(StrBufSearch, PositionsAtAndBeyondTheEnd) {
    StrBuf s("hello", 1);
    EXPECT_EQ(s.char_at(5), 0);
    EXPECT_EQ(s.char_at(-1), 0);
    EXPECT_EQ(s.char_at(1), 'e');
    EXPECT_EQ(s.find("lo", 0), 3);
    EXPECT_EQ(s.find("lo", 4), -1);
    EXPECT_EQ(s.find("h", -1), -1);
    StrBuf empty;
    EXPECT_EQ(empty.find("a", 0), -1);
}

TEST(StrBufEditing, CutEnd) {
    StrBuf s("abcdef", 1);
    s.cut_end(2);
    EXPECT_EQ(s.str(), "abcd");
    s.cut_end(10);
    EXPECT_TRUE(s.empty());
    EXPECT_STREQ(s.c_str(), "");
}

TEST(StrBufCompare, ByteWiseAndWithoutCase) {
    StrBuf s("Abc", 1);
    EXPECT_EQ(s.compare("Abc"), 0);
    EXPECT_LT(s.compare("abc"), 0);
    EXPECT_EQ(s.compare_nocase("ABC"), 0);
    EXPECT_GT(s.compare_nocase("abb"), 0);
    EXPECT_EQ(StrBuf("42x", 1).to_int(), 42);
}

TEST(StrBufCopies, CopiesAreIndependent) {
    StrBuf s("h\xC3\xA9llo \xF0\x9F\x98\x80", 1);  // héllo + an emoji
    StrBuf copy;
    copy.copy_from(s);
    EXPECT_EQ(copy.str(), s.str());
    StrBuf assigned(s);
    s.clear();
    EXPECT_EQ(assigned.str(), copy.str());
}

namespace {

// Runs out of address space while growing a string.
void exhaust_memory() {
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = 512u << 20;
    setrlimit(RLIMIT_AS, &limit);
    dup2(2, 1);  // the message goes to the console; let the death test see it
    StrBuf s;
    s.reserve(std::size_t{1} << 31);
}

}  // namespace

TEST(StrBufMemory, ExhaustedMemoryEndsTheProcessWithExitCodeOne) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exhaust_memory(), testing::ExitedWithCode(1),
                "\nNot enough memory, application terminated! ");
#endif
}

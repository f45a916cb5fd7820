#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "common/str_buf.h"

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
    EXPECT_EQ(s.find_char('l', 0), 2);
    EXPECT_EQ(s.find_char('l', 3), 3);
    EXPECT_EQ(s.find_char('o', 5), -1);
    EXPECT_EQ(s.find_char('z', 0), -1);
    EXPECT_EQ(s.find("lo", 0), 3);
    EXPECT_EQ(s.find("lo", 4), -1);
    EXPECT_EQ(s.find("h", -1), -1);
    StrBuf empty;
    EXPECT_EQ(empty.find_char('a', 0), -1);
}

TEST(StrBufSearch, CaseInsensitiveForwardAndReversed) {
    StrBuf s("Select * FROM t from", 1);
    EXPECT_EQ(s.find_nocase("from", 0), 9);
    EXPECT_EQ(s.find_nocase("FROM", 10), 16);
    // Reversed: both texts are reversed, the position counts in the reversed text.
    EXPECT_EQ(s.find_nocase("from", 0, 1), 0);
    EXPECT_EQ(s.find_nocase("select", 0, 1), 14);
}

TEST(StrBufEditing, CutTrimReplace) {
    StrBuf s("abcdef", 1);
    s.cut_end(2);
    EXPECT_EQ(s.str(), "abcd");
    s.cut_end(10);
    EXPECT_TRUE(s.empty());
    EXPECT_STREQ(s.c_str(), "");

    StrBuf t("///path", 1);
    t.trim_leading('/');
    EXPECT_EQ(t.str(), "path");

    StrBuf r("one two", 1);
    r.replace_at(4, 3, "three");
    EXPECT_EQ(r.str(), "one three");
    r.replace_at(0, 100, "x");
    EXPECT_EQ(r.str(), "x");
}

TEST(StrBufEditing, ReplaceAllIgnoresCaseAndContinuesAfterTheInsertedText) {
    StrBuf s("Subject yyyy-mm-dd and YYYY-MM-DD", 1);
    std::size_t new_length = s.replace_all_nocase("yyyy-mm-dd", "D");
    EXPECT_EQ(s.str(), "Subject D and D");
    EXPECT_EQ(new_length, s.length());
    StrBuf grow("aa", 1);
    grow.replace_all_nocase("a", "aa");  // must not loop on its own output
    EXPECT_EQ(grow.str(), "aaaa");
}

TEST(StrBufEditing, SubstringOwnedByTheString) {
    StrBuf s("abcdef", 1);
    EXPECT_STREQ(s.substring(2, 3), "cde");
    EXPECT_STREQ(s.substring(4, 100), "ef");
    EXPECT_EQ(s.substring(6, 1), nullptr);
}

TEST(StrBufTokens, TakesTokensOfAnyLength) {
    StrBuf s("a,b", 1);
    StrBuf out;
    EXPECT_EQ(s.take_token(",", out), 1);
    EXPECT_EQ(out.str(), "a");
    EXPECT_EQ(s.str(), "b");
    EXPECT_EQ(s.take_token(",", out), 1);
    EXPECT_EQ(out.str(), "b");
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.take_token(",", out), 0);

    std::string long_token(5000, 't');
    StrBuf l((long_token + ";;rest").c_str(), 1);
    ASSERT_EQ(l.take_token(";;", out), 1);
    EXPECT_EQ(out.str(), long_token);
    EXPECT_EQ(l.str(), "rest");
}

TEST(StrBufCompare, ByteWiseAndWithoutCase) {
    StrBuf s("Abc", 1);
    EXPECT_EQ(s.compare("Abc"), 0);
    EXPECT_LT(s.compare("abc"), 0);
    EXPECT_EQ(s.compare_nocase("ABC"), 0);
    EXPECT_GT(s.compare_nocase("abb"), 0);
    EXPECT_EQ(StrBuf("42x", 1).to_int(), 42);
    EXPECT_DOUBLE_EQ(StrBuf("2.5", 1).to_double(), 2.5);
}

TEST(StrBufConversions, WideAndCopies) {
    StrBuf s("h\xC3\xA9llo \xF0\x9F\x98\x80", 1);  // héllo + an emoji
    std::size_t count = 0;
    const char16_t* wide = s.to_wide(&count);
    EXPECT_EQ(count, 8u);  // the emoji takes a surrogate pair
    EXPECT_EQ(wide[1], u'\u00e9');
    StrBuf back;
    back.assign_wide(wide);
    EXPECT_EQ(back.str(), s.str());

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

#include <gtest/gtest.h>

#include "common/str_buf.h"
#include "platform/text_convert.h"

TEST(TextConvert, LocaleTextBecomesUtf8AndBack) {
    // The tests run in the C locale, where Windows-1252 stands in for plain ASCII.
    ASSERT_EQ(ansi_charset_name(), "WINDOWS-1252");
    EXPECT_EQ(ansi_to_utf8("caf\xe9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(utf8_to_ansi("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xe9 \x80");
    StrBuf s("M\xfcller", 0);
    EXPECT_EQ(s.str(), "M\xC3\xBCller");
}

TEST(TextConvert, UnconvertibleAndInvalidBytesBecomeQuestionMarks) {
    EXPECT_EQ(utf8_to_ansi("a\xE4\xB8\xAD" "b"), "a?b");    // a CJK character has no 1252 form
    EXPECT_EQ(utf8_to_ansi("a\xff" "b"), "a?b");            // not UTF-8 at all
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("x\xff" "y")), "x?y");
    EXPECT_EQ(ansi_to_utf8(""), "");
}

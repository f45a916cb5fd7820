#include <gtest/gtest.h>

#include "common/str_buf.h"
#include "platform/text_convert.h"

using namespace kro::platform;
using namespace kro::common;

TEST(TextConvert, TheCLocaleReadsUtf8AsCronAndATerminalDoAlike) {
    // The tests run in the C locale, as cron and systemd start kro.
    ASSERT_EQ(ansi_charset_name(), "UTF-8");
    EXPECT_EQ(ansi_to_utf8("Bj\xC3\xB6rn \xE2\x82\xAC"), "Bj\xC3\xB6rn \xE2\x82\xAC");
    EXPECT_EQ(utf8_to_ansi("caf\xC3\xA9 \xE4\xB8\xAD"), "caf\xC3\xA9 \xE4\xB8\xAD");
    StrBuf s("M\xC3\xBCller", 0);
    EXPECT_EQ(s.str(), "M\xC3\xBCller");
}

TEST(TextConvert, InvalidBytesBecomeQuestionMarks) {
    EXPECT_EQ(ansi_to_utf8("M\xfcller"), "M?ller");      // a Latin-1 byte is no UTF-8
    EXPECT_EQ(utf8_to_ansi("a\xff" "b"), "a?b");            // not UTF-8 at all
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("x\xff" "y")), "x?y");
    EXPECT_EQ(ansi_to_utf8(""), "");
}

TEST(TextConvert, ALongTextSurvivesAConversionThatWidensIt) {
    // ASCII takes twice its bytes in UTF-16: the output outgrows the room made for it.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "ab \xE4\xB8\xAD\xF0\x9F\x98\x80";
    const std::u16string wide = utf8_to_utf16(text);
    EXPECT_EQ(wide.size(), 20000u * 6);
    EXPECT_EQ(utf16_to_utf8(wide), text);
}

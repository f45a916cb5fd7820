#include <gtest/gtest.h>

#include "connection/server_version.h"
#include "connection/sql_quote.h"

using namespace kro::common;
using namespace kro::connection;

TEST(ServerVersionTest, ParsesTheVersionTextsServersSend) {
    EXPECT_EQ(parse_server_version("10.11.6-MariaDB-0+deb12u1"), 101106u);
    EXPECT_EQ(parse_server_version("5.5.5-10.11.6-MariaDB"), 101106u);
    EXPECT_EQ(parse_server_version("8.0.36"), 80036u);
    EXPECT_EQ(parse_server_version("5.0.9-log"), 50009u);
    EXPECT_EQ(parse_server_version("4.1"), 40100u);
    EXPECT_EQ(parse_server_version(""), 0u);
    EXPECT_EQ(parse_server_version(nullptr), 0u);
    EXPECT_EQ(parse_server_version("MariaDB"), 0u);
}

TEST(SqlQuoteTest, BackquotesInNamesAreDoubled) {
    EXPECT_STREQ(escape_identifier("plain").c_str(), "plain");
    EXPECT_STREQ(escape_identifier("a`b``c'd").c_str(), "a``b````c'd");
    EXPECT_STREQ(escape_identifier("`").c_str(), "``");
    StrBuf out;
    out.append("x");
    append_escaped_identifier(out, "`y`");
    EXPECT_STREQ(out.c_str(), "x``y``");
}

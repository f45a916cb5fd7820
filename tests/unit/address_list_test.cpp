// Address lists as job files give them: what is read, what is refused, what is written.
#include <gtest/gtest.h>

#include "mail/address_list.h"

using namespace kro::mail;

namespace {

std::vector<MailAddress> parse_ok(const std::string& text) {
    std::vector<MailAddress> out;
    std::string problem;
    EXPECT_EQ(parse_address_list(text, out, &problem), 1) << text << ": " << problem;
    return out;
}

}  // namespace

TEST(AddressList, ReadsNamesQuotesCommentsAndGroups) {
    auto a = parse_ok(
        "Ann Example <ann@x.org>, bob@x.org (Bob), \"Doe, Carl\" <carl@x.org>,, "
        "team: dan@x.org, \"Eve \\\"E\\\"\" <eve@x.org>;, <@route.x.org:fay@x.org>, "
        "\"odd local\"@x.org, root, J. R. Smith <jrs@[192.168.0.1]>");
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[0].display_name, "Ann Example");
    EXPECT_EQ(a[0].mailbox, "ann@x.org");
    EXPECT_EQ(a[1].display_name, "");
    EXPECT_EQ(a[1].mailbox, "bob@x.org");
    EXPECT_EQ(a[2].display_name, "Doe, Carl");
    EXPECT_EQ(a[3].mailbox, "dan@x.org");
    EXPECT_EQ(a[4].display_name, "Eve \"E\"");
    EXPECT_EQ(a[5].mailbox, "fay@x.org");
    EXPECT_EQ(a[6].mailbox, "\"odd local\"@x.org");
    EXPECT_EQ(a[7].mailbox, "root");
    EXPECT_EQ(a[8].display_name, "J. R. Smith");
    EXPECT_EQ(a[8].mailbox, "jrs@[192.168.0.1]");
    EXPECT_TRUE(parse_ok("").empty());
    EXPECT_TRUE(parse_ok(" , (nobody) ").empty());
}

TEST(AddressList, RefusesMalformedListsWithoutTouchingTheOutput) {
    const char* bad[] = {"Ann <ann@x.org",   "Ann Example",       "<>",          "a@",
                         "\"open@x.org",      "x@x.org>",          "a@x.org; b@x.org",
                         "(open comment a@x.org", "team: a@x.org",  "a@x.org b@x.org",
                         "\"line\r\nbreak\"@x.org", "a..b@x.org",   "<a@x.org> trailing"};
    for (const char* text : bad) {
        std::vector<MailAddress> out = {{"keep", "keep@x.org"}};
        std::string problem;
        EXPECT_EQ(parse_address_list(text, out, &problem), 0) << text;
        EXPECT_FALSE(problem.empty()) << text;
        EXPECT_EQ(out.size(), 1u) << text;
    }
}

TEST(AddressList, WritesHeadersThatReadBackTheSame) {
    std::vector<MailAddress> a = {{"Ann Example", "ann@x.org"},
                                  {"Doe, Carl \"C\"", "carl@x.org"},
                                  {"", "bob@x.org"},
                                  {"Müller", "m@x.org"}};
    std::string header = format_address_list(a);
    EXPECT_EQ(header,
              "Ann Example <ann@x.org>,\r\n \"Doe, Carl \\\"C\\\"\" <carl@x.org>,\r\n bob@x.org,\r\n"
              " =?utf-8?B?TcO8bGxlcg==?= <m@x.org>");
    auto back = parse_ok(header);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[1].display_name, "Doe, Carl \"C\"");
    EXPECT_EQ(back[2].mailbox, "bob@x.org");
}

// The DEFINER clause written before a trigger.
#include <gtest/gtest.h>

#include "export/dump_writer.h"

using namespace kro::export_;

namespace {

std::string double_quotes(void*, std::string_view text) {
    std::string out;
    for (char c : text) out += c == '\'' ? std::string("\\'") : std::string(1, c);
    return out;
}

TEST(TriggerDefiner, UserAndHostAreSplitAtTheLastAt) {
    EXPECT_EQ(trigger_definer_clause("kro@%", double_quotes, nullptr), "/*!50017 DEFINER = 'kro'@'%' */");
    EXPECT_EQ(trigger_definer_clause("a@b@localhost", double_quotes, nullptr),
              "/*!50017 DEFINER = 'a@b'@'localhost' */");
    EXPECT_EQ(trigger_definer_clause("o'neil@h'x", double_quotes, nullptr),
              "/*!50017 DEFINER = 'o\\'neil'@'h\\'x' */");
}

TEST(TriggerDefiner, NoUserPartGivesNoClauseAndARoleHasNoHost) {
    EXPECT_EQ(trigger_definer_clause("nodefiner", double_quotes, nullptr), "");
    EXPECT_EQ(trigger_definer_clause("@localhost", double_quotes, nullptr), "");
    EXPECT_EQ(trigger_definer_clause("", double_quotes, nullptr), "");
    EXPECT_EQ(trigger_definer_clause("admin_role@", double_quotes, nullptr), "/*!50017 DEFINER = 'admin_role' */");
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/sql_splitter.h"

using namespace kro::notify;

namespace {

// Every piece the splitter hands out; delimiter commands are prefixed with "CMD:".
std::vector<std::string> split(const std::string& text) {
    SqlSplitter splitter(text.data(), text.size());
    std::vector<std::string> out;
    for (;;) {
        SqlSplitter::Piece p = splitter.next_statement();
        if (p.kind == SqlSplitter::Kind::End) break;
        out.push_back((p.kind == SqlSplitter::Kind::DelimiterCommand ? "CMD:" : "") + std::string(p.text));
    }
    return out;
}

using Pieces = std::vector<std::string>;

}  // namespace

TEST(SqlSplitterBasics, StatementsEndAtTheDelimiter) {
    EXPECT_EQ(split("select 1; select 2"), (Pieces{"select 1", " select 2\n"}));
    EXPECT_EQ(split("select 1;\nselect 2;\n"), (Pieces{"select 1", "select 2"}));
    EXPECT_EQ(split("select\n  1\n;"), (Pieces{"select\n  1\n"}));
    EXPECT_EQ(split(""), Pieces{});
    EXPECT_EQ(split("\n\n  \n"), Pieces{});
    EXPECT_EQ(split("select 1;\n   \n\t"), Pieces{"select 1"});
}

TEST(SqlSplitterBasics, TrailingCommentIsAFinalStatement) {
    EXPECT_EQ(split("select 1;\n-- done\n"), (Pieces{"select 1", "-- done\n"}));
    EXPECT_EQ(split("select 1; # note"), (Pieces{"select 1", " # note\n"}));
}

TEST(SqlSplitterQuoting, DelimitersInsideStringsAndCommentsDoNotSplit) {
    EXPECT_EQ(split("select 'a;b', \"c;d\", `e;f`;"), Pieces{"select 'a;b', \"c;d\", `e;f`"});
    EXPECT_EQ(split("select /* x; y */ 1;"), Pieces{"select /* x; y */ 1"});
    EXPECT_EQ(split("select 1 # a; b\n;"), Pieces{"select 1 # a; b\n"});
    EXPECT_EQ(split("select 1 -- a; b\n;"), Pieces{"select 1 -- a; b\n"});
    // "--" without a blank is no comment: the delimiter after it counts.
    EXPECT_EQ(split("select 1--2; select 3;"), (Pieces{"select 1--2", " select 3"}));
    // A versioned comment is executable text: its ";" ends the statement.
    EXPECT_EQ(split("/*!40101 SET a=1; */"), (Pieces{"/*!40101 SET a=1", " */\n"}));
}

TEST(SqlSplitterQuoting, StringsAndCommentsStayOpenAcrossLines) {
    EXPECT_EQ(split("insert into t values ('line1;\nline2');select 2;"),
              (Pieces{"insert into t values ('line1;\nline2')", "select 2"}));
    EXPECT_EQ(split("select /* a;\n b; */ 1;"), Pieces{"select /* a;\n b; */ 1"});
}

TEST(SqlSplitterQuoting, BackslashRules) {
    // Inside a string the backslash and the quote are both kept; the string stays open.
    EXPECT_EQ(split("select 'it\\'s;';"), Pieces{"select 'it\\'s;'"});
    // Outside strings the backslash is dropped and the ";" is ordinary text.
    EXPECT_EQ(split("select 1 \\; select 2;"), Pieces{"select 1 ; select 2"});
    // A backslash at the line end ends the line's scan.
    EXPECT_EQ(split("select 1\\\n;"), Pieces{"select 1\n"});
}

TEST(SqlSplitterDelimiter, DelimiterBlocksKeepBodiesWhole) {
    std::string text =
        "DELIMITER $$\n"
        "CREATE PROCEDURE p() BEGIN select 1; select 2; END$$\n"
        "DELIMITER ;\n"
        "call p();\n";
    EXPECT_EQ(split(text), (Pieces{"CMD:DELIMITER $$", "CREATE PROCEDURE p() BEGIN select 1; select 2; END",
                                   "CMD:DELIMITER ;", "call p()"}));
}

TEST(SqlSplitterDelimiter, CommandWithMoreTextOnItsLine) {
    EXPECT_EQ(split("delimiter // select 1//\ndelimiter ;"),
              (Pieces{"CMD:delimiter //", "select 1", "CMD:delimiter ;"}));
}

TEST(SqlSplitterDelimiter, IndentedCommandsAsInAnXmlJobFile) {
    std::string text =
        "\n    DELIMITER $$\n"
        "    CREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END $$\n"
        "    DELIMITER ;\n"
        "    select f();\n  ";
    EXPECT_EQ(split(text), (Pieces{"CMD:    DELIMITER $$", "    CREATE FUNCTION f() RETURNS INT BEGIN RETURN 1; END ",
                                   "CMD:    DELIMITER ;", "    select f()"}));
}

TEST(SqlSplitterDelimiter, CommandAfterAComment) {
    EXPECT_EQ(split("/* setup */ DELIMITER //\nselect 1//"), (Pieces{"CMD:/* setup */ DELIMITER //", "select 1"}));
}

TEST(SqlSplitterDelimiter, MultiCharacterDelimiter) {
    EXPECT_EQ(split("DELIMITER abc\nselect 1abc select 2 abc"), (Pieces{"CMD:DELIMITER abc", "select 1", " select 2 "}));
}

TEST(SqlSplitterSize, LongLinesAreNeverCut) {
    std::string value(20'000'000, 'v');
    std::string text = "insert into t values ('" + value + "');select 1;";
    Pieces pieces = split(text);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), value.size() + 25);
    EXPECT_EQ(pieces[0].find('\n'), std::string::npos);
    EXPECT_EQ(pieces[1], "select 1");
}

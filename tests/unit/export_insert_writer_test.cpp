// The INSERT text of a table's rows: statement shapes, value formatting and the sizing rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <string>
#include <vector>

#include <mysql.h>

#include "connection/helper_queries.h"
#include "export/insert_writer.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::export_;

namespace {

unsigned long plain_escape(void*, char* destination, const char* source, unsigned long length) {
    return mysql_escape_string(destination, source, length);
}

// Rows of text values (null pointers are SQL NULLs) with their lengths.
struct Rows {
    std::vector<std::vector<std::string>> values;
    std::vector<std::vector<bool>> nulls;
};

class InsertWriterTest : public ::testing::Test {
protected:
    // Two columns: a numeric id and a text.
    void SetUp() override {
        mysql_library_init(0, nullptr, nullptr);  // the escape needs the library's charsets
        fields_.resize(2);
        fields_[0].flags = NUM_FLAG;
        fields_[0].type = MYSQL_TYPE_LONG;
        fields_[1].flags = 0;
        fields_[1].type = MYSQL_TYPE_VAR_STRING;
        writer_.set_limits(1000, 0);
    }

    void begin(bool bulk, bool complete) {
        writer_.set_bulk(bulk);
        writer_.set_complete(complete);
        writer_.begin_table("t", "");
        writer_.set_columns("`id`,`name`", fields_.data(), 2);
    }

    void row(const char* id, const char* name, unsigned long name_length = ~0UL) {
        char* values[2] = {const_cast<char*>(id), const_cast<char*>(name)};
        unsigned long lengths[2] = {id ? std::strlen(id) : 0,
                                    name ? (name_length == ~0UL ? std::strlen(name) : name_length) : 0};
        writer_.add_row(out_, values, lengths, 2, plain_escape, nullptr);
    }

    std::string finish() {
        writer_.end_table(out_);
        return out_.str();
    }

    std::vector<MYSQL_FIELD> fields_;
    InsertWriter writer_;
    StrBuf out_;
};

TEST_F(InsertWriterTest, BulkRowsShareOneStatementUntilTheTableEnds) {
    begin(true, false);
    row("1", "a");
    row("2", "b");
    row("3", "c");
    EXPECT_EQ(finish(), "\ninsert  into `t` values (1,'a'),(2,'b'),(3,'c');\n");
}

TEST_F(InsertWriterTest, SingleRowStatementsEachEndWithSemicolon) {
    begin(false, false);
    row("1", "a");
    row("2", "b");
    EXPECT_EQ(finish(),
              "\ninsert  into `t` values(1,'a');\ninsert  into `t` values(2,'b');\n");
}

TEST_F(InsertWriterTest, CompleteInsertNamesTheColumnsInBothShapes) {
    begin(true, true);
    row("1", "a");
    row("2", "b");
    EXPECT_EQ(finish(), "\ninsert  into `t`(`id`,`name`) values (1,'a'),(2,'b');\n");

    out_.clear();
    begin(false, true);
    row("1", "a");
    row("2", "b");
    EXPECT_EQ(finish(),
              "\ninsert  into `t`(`id`,`name`) values (1,'a');"
              "\ninsert  into `t`(`id`,`name`) values (2,'b');\n");
}

TEST_F(InsertWriterTest, DelayedPrefixGoesAfterInsert) {
    writer_.set_bulk(true);
    writer_.set_complete(false);
    writer_.begin_table("t", "DELAYED ");
    writer_.set_columns("`id`,`name`", fields_.data(), 2);
    row("1", "a");
    EXPECT_EQ(finish(), "\ninsert DELAYED  into `t` values (1,'a');\n");
}

TEST_F(InsertWriterTest, NullsEmptyStringsAndSpecialBytesAreWrittenSafely) {
    begin(true, false);
    row(nullptr, "");
    row("7", nullptr);
    const char tricky[] = {'a', '\0', '\'', '\\', '\n', '\r', '"', 0x1a, 'z'};
    row("8", tricky, sizeof tricky);
    EXPECT_EQ(finish(),
              std::string("\ninsert  into `t` values (NULL,''),(7,NULL),(8,'a\\0\\'\\\\\\n\\r\\\"\\Zz');\n"));
}

TEST_F(InsertWriterTest, TableWithoutRowsWritesNoStatement) {
    begin(true, false);
    EXPECT_EQ(finish(), "");
    begin(false, true);
    EXPECT_EQ(finish(), "");
}

// A 1 KB limit takes 90 rows of this table into a statement (see below); 731 KB take all.
TEST_F(InsertWriterTest, LimitIsTheSmallerOfPacketAndBulkSizeCappedAt16MB) {
    struct Case {
        long packet_kb, bulk_kb;
        long rows;
    };
    for (const Case& c : {Case{731, 1, 90}, Case{1, 1000, 90}, Case{1, 0, 90}, Case{731, 0, 181}}) {
        out_.clear();
        writer_.set_limits(c.packet_kb, c.bulk_kb);
        begin(true, false);
        for (int i = 0; i < 181; ++i) row("1", "a");
        std::string text = finish();
        std::string first = text.substr(0, text.find(';'));
        EXPECT_EQ(std::count(first.begin(), first.end(), '('), c.rows) << c.packet_kb << " " << c.bulk_kb;
    }
    EXPECT_EQ(statement_byte_limit(100000), 16777216);  // the largest packet older servers take
}

TEST_F(InsertWriterTest, BulkStatementBreaksWhenTheNextRowReachesTheLimit) {
    // Row size: value lengths + 3 per column + 3 = 1 + 1 + 9 = 11 bytes; prefix
    // "\ninsert  into `t` values " is 25 bytes. With a 1 KB limit a statement takes rows
    // while 25 + 11 * n stays below 1024: 90 rows, the 91st opens the next statement.
    writer_.set_limits(1, 0);
    begin(true, false);
    for (int i = 0; i < 181; ++i) row("1", "a");
    std::string text = finish();
    std::size_t statements = 0;
    for (std::size_t at = text.find("insert"); at != std::string::npos; at = text.find("insert", at + 1))
        ++statements;
    EXPECT_EQ(statements, 3u);
    std::size_t first_end = text.find(';');
    ASSERT_NE(first_end, std::string::npos);
    std::string first = text.substr(0, first_end);
    EXPECT_EQ(std::count(first.begin(), first.end(), '('), 90);
    EXPECT_EQ(text.substr(first_end, 27), ";\ninsert  into `t` values (");
    EXPECT_EQ(text.substr(text.size() - 3), ");\n");
}

// Zero bytes are written as "\0", twice their size: counted raw, three such rows of 300
// bytes would share a statement of over 1.8 KB under a 1 KB limit.
TEST_F(InsertWriterTest, BulkStatementsAreSizedByTheEscapedValues) {
    writer_.set_limits(1, 0);
    begin(true, false);
    const std::string zeros(300, '\0');
    for (int i = 0; i < 6; ++i) row("1", zeros.data(), zeros.size());
    std::string text = finish();
    std::size_t statements = 0;
    for (std::size_t at = 0, end; (at = text.find("\ninsert", at)) != std::string::npos; at = end) {
        end = text.find(';', at);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - at, 1024u);
        ++statements;
    }
    EXPECT_EQ(statements, 6u);
    EXPECT_EQ(text.find(",(1,"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 4), "');\n");
}

TEST_F(InsertWriterTest, ZeroPacketLimitGivesEveryRowButTheFirstItsOwnStatement) {
    writer_.set_limits(0, 0);
    begin(true, true);
    row("1", "a");
    row("2", "b");
    row("3", "c");
    EXPECT_EQ(finish(),
              "\ninsert  into `t`(`id`,`name`) values (1,'a');"
              "\ninsert  into `t`(`id`,`name`) values (2,'b');"
              "\ninsert  into `t`(`id`,`name`) values (3,'c');\n");
}

TEST_F(InsertWriterTest, LargeValuesAreEscapedOverTheirFullLength) {
    begin(true, false);
    std::string big(100000, 'x');
    big[50000] = '\0';
    big[99999] = '\'';
    row("1", big.data(), big.size());
    std::string text = finish();
    std::string expected_value = big.substr(0, 50000) + "\\0" + big.substr(50001, 49998) + "\\'";
    EXPECT_NE(text.find("(1,'" + expected_value + "')"), std::string::npos);
}

// A page that came back with another number of columns (the table was altered in the
// middle of the dump) is refused before a value of it is read.
TEST_F(InsertWriterTest, RowWithAnotherNumberOfColumnsIsRefused) {
    begin(true, false);
    row("1", "a");
    char* values[3] = {const_cast<char*>("2"), const_cast<char*>("b"), const_cast<char*>("c")};
    unsigned long lengths[3] = {1, 1, 1};
    EXPECT_FALSE(writer_.add_row(out_, values, lengths, 3, plain_escape, nullptr));
    EXPECT_FALSE(writer_.add_row(out_, values, lengths, 1, plain_escape, nullptr));
    EXPECT_EQ(finish(), "\ninsert  into `t` values (1,'a');\n");
}

}  // namespace

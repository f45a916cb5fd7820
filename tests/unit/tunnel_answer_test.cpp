#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/base64.h"
#include "connection/tunnel_answer.h"
#include "connection/tunnel_texts.h"

using namespace kro::common;
using namespace kro::connection;

namespace {

const std::string kFields =
    "<f_i c='3'><f><n>id</n><t>t</t><m>2</m><d></d><ty>int</ty></f>"
    "<f><n>data</n><t>t</t><m>4</m><d></d><ty>BLOB</ty></f>"
    "<f><n>name</n><t>t</t><m>3</m><d>x</d><ty>whatever</ty></f></f_i>";

std::string value(std::string_view bytes) {
    return "<c l='" + std::to_string(bytes.size()) + "'>" + base64_encode(bytes) + "</c>";
}

std::string result_with_rows(const std::string& rows, int count) {
    return "<r v='8.05'><e_i/><s_v>10.11.6-MariaDB</s_v><a_r>" + std::to_string(count) + "</a_r><i_i>0</i_i>" +
           kFields + "<r_i c='" + std::to_string(count) + "'>" + rows + "</r_i></r>";
}

const std::string kTwoRows = "<r>" + value("1") + value(std::string("a\0b\xff", 4)) + "<c>(NULL)</c></r>\n" +
                             "<r>" + value("22") + "<c l='3'></c>" + value("") + "</r>";

TunnelOutcome read_first(TunnelAnswer& answer, const std::string& body) {
    EXPECT_TRUE(answer.parse(body)) << body;
    return answer.read_result(answer.first_result());
}

bool unusable(const TunnelOutcome& o) {
    return o.failed && o.error_number == tunnel_text::kErrCannotConnect && !o.result &&
           o.error_text == tunnel_text::kUnusableAnswer;
}

}  // namespace

TEST(TunnelAnswer, RowsKeepBinaryBytesNullsAndSpacesWithTheirLengths) {
    // An empty value must be an empty text, not a missing one.
    std::string rows = "<r>" + value("1") + value(std::string("a\0b\xff", 4)) + "<c>(null)</c></r>\n" +
                       "<r>" + value("22") + "<c l='3'></c><c l='0'><![CDATA[]]></c></r>";
    TunnelAnswer answer;
    TunnelOutcome o = read_first(answer, "<?xml version='1.0'?><xml>" + result_with_rows(rows, 2) + "</xml>");
    ASSERT_FALSE(o.failed) << o.error_text;
    ASSERT_TRUE(o.result);
    HttpResult& r = *o.result;
    EXPECT_EQ(o.server_version, "10.11.6-MariaDB");
    EXPECT_EQ(o.field_count, 3u);
    EXPECT_EQ(r.row_count, 2u);
    EXPECT_STREQ(r.fields[0].name, "id");
    EXPECT_EQ(r.fields[0].type, MYSQL_TYPE_LONG);
    EXPECT_EQ(r.fields[1].type, MYSQL_TYPE_BLOB);
    EXPECT_EQ(r.fields[2].type, MYSQL_TYPE_VAR_STRING);
    EXPECT_EQ(r.fields[1].max_length, 4u);
    EXPECT_STREQ(r.fields[2].def, "x");

    MYSQL_ROW row = r.fetch_row();
    ASSERT_TRUE(row);
    EXPECT_STREQ(row[0], "1");
    EXPECT_EQ(std::string(row[1], r.current_lengths[1]), std::string("a\0b\xff", 4));
    EXPECT_EQ(row[1][4], '\0');
    EXPECT_EQ(row[2], nullptr);
    EXPECT_EQ(r.current_lengths[2], 0u);
    row = r.fetch_row();
    ASSERT_TRUE(row);
    EXPECT_STREQ(row[1], "   ");
    EXPECT_EQ(r.current_lengths[1], 3u);
    EXPECT_STREQ(row[2], "");
    EXPECT_EQ(r.fetch_row(), nullptr);
    r.seek(1);
    EXPECT_STREQ(r.fetch_row()[0], "22");
}

TEST(TunnelAnswer, ErrorsCountsAndStatementsWithoutRows) {
    TunnelAnswer answer;
    TunnelOutcome o = read_first(answer,
        "<xml><r v='8.05'><e_i><e_n>1146</e_n><e_d>Table 'a.b' doesn&apos;t exist</e_d></e_i></r>"
        "<r v='8.05'><e_i/><m_i>Records: 3  Duplicates: 0  Warnings: 0</m_i><a_r>3</a_r><i_i>17</i_i><f_i c='0'/></r>"
        "<r V='8.05'><e_i/></r></xml>");
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.error_number, 1146u);
    EXPECT_EQ(o.error_text, "Table 'a.b' doesn't exist");

    const tinyxml2::XMLElement* second = answer.first_result()->NextSiblingElement();
    o = answer.read_result(second);
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.error_number, 0u);
    EXPECT_EQ(o.affected_rows, 3u);
    EXPECT_EQ(o.insert_id, 17u);
    EXPECT_EQ(o.info, "Records: 3  Duplicates: 0  Warnings: 0");
    EXPECT_EQ(o.server_version, "3.23.58");  // no s_v
    EXPECT_FALSE(o.result);

    // The version attribute is "v"; a result without it is from another script version.
    o = answer.read_result(second->NextSiblingElement());
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.error_number, tunnel_text::kErrVersion);
}

TEST(TunnelAnswer, AnotherVersionIsAMismatch) {
    TunnelAnswer answer;
    TunnelOutcome o = read_first(answer, "<xml><r v='8.04'><e_i/><a_r>1</a_r></r></xml>");
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.error_number, 3u);
    EXPECT_EQ(o.error_text, tunnel_text::kVersionMismatch);
}

TEST(TunnelAnswer, RefusesAnswersThatAreNotOneXmlDocument) {
    for (const char* body : {"", "Fatal error: mysqli not found", "<xml><r v='8.05'>", "<a/><b/>",
                             "<xml><r v='8.05'><e_i/></r>", "<xml><r v='8.05'><r_i c='1'><r>"}) {
        TunnelAnswer answer;
        EXPECT_FALSE(answer.parse(body)) << body;
    }
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    TunnelAnswer answer;
    EXPECT_FALSE(answer.parse(deep));
}

TEST(TunnelAnswer, AnswersThatDisagreeWithThemselvesAreUnusable) {
    const std::string one_row = "<r>" + value("1") + value("ab") + value("c") + "</r>";
    const std::string cases[] = {
        result_with_rows(one_row, 2),                                       // fewer rows than counted
        result_with_rows(one_row + one_row, 1),                             // more rows than counted
        result_with_rows("<r>" + value("1") + value("ab") + "</r>", 1),     // a value missing
        result_with_rows("<r>" + value("1") + value("ab") + value("c") + value("d") + "</r>", 1),
        result_with_rows("<r>" + value("1") + "<c l='3'>YWI=</c>" + value("c") + "</r>", 1),  // length
        result_with_rows("<r>" + value("1") + "<c l='2'>Y!I=</c>" + value("c") + "</r>", 1),  // Base64
        result_with_rows("<r>" + value("1") + "<c>YWI=</c>" + value("c") + "</r>", 1),        // no length
        result_with_rows("<r>" + value("1") + "<c l='0'></c>" + value("c") + "</r>", 1),      // no text, l 0
        result_with_rows("<r>" + value("1") + "<c l='99999999999'></c>" + value("c") + "</r>", 1),
        result_with_rows(one_row, -1),
        result_with_rows("", 4000000000),
        "<r v='8.05'><e_i/><f_i c='2'><f><n>a</n></f></f_i></r>",          // fields missing
        "<r v='8.05'><e_i/><f_i c='x'/></r>",
        "<r v='8.05'><a_r>1</a_r></r>",                                     // no e_i
    };
    for (const std::string& result : cases) {
        TunnelAnswer answer;
        TunnelOutcome o = read_first(answer, "<xml>" + result + "</xml>");
        EXPECT_TRUE(unusable(o)) << result;
    }
}

// A value without text stands for that many spaces. The answer bounds them all together:
// many such values in a small answer are refused before their room is taken, while a few
// long ones (CHAR padding) are read.
TEST(TunnelAnswer, ValuesWithoutTextShareOneSpaceBudget) {
    auto rows_of_spaces = [](int count) {
        std::string rows;
        for (int n = 0; n < count; ++n) rows += "<r>" + value("1") + value("ab") + "<c l='1048576'></c></r>";
        return result_with_rows(rows, count);
    };
    TunnelAnswer few;
    TunnelOutcome o = read_first(few, "<xml>" + rows_of_spaces(4) + "</xml>");
    ASSERT_TRUE(o.result) << o.error_text;
    ASSERT_EQ(o.result->row_count, 4u);
    EXPECT_EQ(o.result->lengths[11], 1048576u);
    EXPECT_EQ(std::string(o.result->values[11], 1048576), std::string(1048576, ' '));

    TunnelAnswer many;
    EXPECT_TRUE(unusable(read_first(many, "<xml>" + rows_of_spaces(64) + "</xml>")));
}

// Rows in other forms than the script's go to the XML parser, also one that looks like
// the script's until its second value.
TEST(TunnelAnswer, RowsSurviveCommentsQuotedBracketsAndEntities) {
    std::string rows = "<!-- rows --><r a='>'>" + value("1") + "<c l='2'>Y&#x57;I=</c>" + value("c") +
                       "</r><![CDATA[<r>]]><?pi ?><r>" + value("2") + "<c l='2'>Y&#x57;I=</c>" + value("d") + "</r>";
    TunnelAnswer answer;
    TunnelOutcome o = read_first(answer, "<xml>" + result_with_rows(rows, 2) + "</xml>");
    ASSERT_FALSE(o.failed) << o.error_text;
    for (const char* expected : {"1", "2"}) {
        MYSQL_ROW row = o.result->fetch_row();
        ASSERT_TRUE(row);
        EXPECT_STREQ(row[0], expected);
        EXPECT_STREQ(row[1], "ab");
        EXPECT_EQ(o.result->current_lengths[2], 1u);
    }
}

// Random damage to a valid answer must give a result or a refusal, never a crash or an
// overread (run under the sanitizers by KRO_SANITIZE=ON scripts/test.sh).
TEST(TunnelAnswer, DamagedAnswersNeverCrash) {
    const std::string good = "<xml>" + result_with_rows(kTwoRows, 2) +
                             "<r v='8.05'><e_i><e_n>1</e_n><e_d>x</e_d></e_i></r></xml>";
    std::mt19937 random(12345);
    const char pieces[] = "<>/='\"!?[]-&#;rcl0123456789 NULL(r_i)";
    for (int i = 0; i < 20000; ++i) {
        std::string body = good;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % (body.size() + 1);
            switch (random() % 4) {
                case 0: body.insert(at, 1, pieces[random() % (sizeof pieces - 1)]); break;
                case 1: if (at < body.size()) body.erase(at, 1 + random() % 8); break;
                case 2: if (at < body.size()) body[at] = static_cast<char>(random()); break;
                default: body.resize(at); break;
            }
        }
        TunnelAnswer answer;
        if (!answer.parse(body)) continue;
        for (const tinyxml2::XMLElement* e = answer.first_result(); e; e = e->NextSiblingElement()) {
            TunnelOutcome o = answer.read_result(e);
            if (!o.result) continue;
            while (MYSQL_ROW row = o.result->fetch_row()) {
                for (unsigned f = 0; f < o.result->field_count; ++f) {
                    if (row[f]) {
                        ASSERT_EQ(row[f][o.result->current_lengths[f]], '\0');
                    }
                }
            }
        }
    }
}

TEST(TunnelStatusTexts, KnownStatusesHaveTheirTextOthersKeepTheOldOne) {
    EXPECT_STREQ(http_status_text(404), "The server has not found anything matching the requested URI.");
    EXPECT_STREQ(http_status_text(302), "Unknown HTTP server error");
    EXPECT_STREQ(http_status_text(413), "The server will not process the request because the request entity is larg.");
    EXPECT_EQ(http_status_text(418), nullptr);
    EXPECT_EQ(http_status_text(504), nullptr);
}

TEST(TunnelTypeCodes, NamesMapIgnoringCaseAndUnknownNamesAreVarchar) {
    EXPECT_EQ(tunnel_type_code("bit"), MYSQL_TYPE_BIT);
    EXPECT_EQ(tunnel_type_code("LONGTEXT"), MYSQL_TYPE_LONG_BLOB);
    EXPECT_EQ(tunnel_type_code("geometry"), MYSQL_TYPE_GEOMETRY);
    EXPECT_EQ(tunnel_type_code("JSON"), MYSQL_TYPE_VAR_STRING);
    EXPECT_EQ(tunnel_type_code(nullptr), MYSQL_TYPE_VAR_STRING);
}

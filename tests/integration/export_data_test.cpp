// Dumps of tricky data replay exactly: every table of the dump, replayed with the mariadb
// client into a fresh database, has the original's checksum and rows, in each INSERT form.
#include <gtest/gtest.h>

#include <string>

#include "export_fixture.h"
#include "mariadb_fixture.h"

namespace {

const char kSource[] = "kro_exp_data";
const char kCopy[] = "kro_exp_data_copy";
const char* const kTables[] = {"bin_data", "texts", "nums", "dates", "big", "nokey", "we`ird'name"};

std::string all_bytes_hex() {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (int b = 0; b < 256; ++b) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

void create_source() {
    recreate_database(kSource);
    const std::string bytes = all_bytes_hex();
    mariadb_exec(
        std::string("set sql_mode=''; use ") + kSource + ";"
        "create table bin_data (id int primary key, b blob, vb varbinary(600), c binary(4));"
        "insert into bin_data values (1, unhex('" + bytes + "'), unhex(concat('" + bytes + "','" + bytes + "')), unhex('00275C00')),"
        " (2, unhex('000000'), '', unhex('FFFEFDFC')), (3, NULL, NULL, NULL), (4, '', unhex('5C27220D0A1A'), 'ab');"
        "create table texts (id int primary key, t text, v varchar(200)) character set utf8mb4;"
        "insert into texts values (1, 'it''s a \"quote\" and a \\\\ backslash', ''),"
        " (2, NULL, 'emoji \xF0\x9F\x98\x80 and \xF0\xA0\x9C\x8E and \xC3\xBC'),"
        " (3, 'line\\nbreak\\ttab\\rcr\\Zctrlz\\0zero', '*/ ; DELIMITER $$'), (4, '', NULL);"
        "create table nums (id int primary key, bt bit(8), b1 bit(1), b64 bit(64), d decimal(30,10),"
        " f float, dbl double, ti tinyint, bi bigint, ubi bigint unsigned, yr year);"
        "insert into nums values"
        " (1, b'10101010', b'1', b'1111111111111111111111111111111111111111111111111111111111111111',"
        "  12345678901234567890.0123456789, 3.40282e38, 1.7976931348623157e308, -128, -9223372036854775808,"
        "  18446744073709551615, 1901),"
        " (2, b'0', b'0', 0, -0.0000000001, -1.5e-38, 2.2250738585072014e-308, 127, 9223372036854775807, 0, 2155),"
        " (3, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL),"
        " (4, b'00100111', b'0', b'0000000001011100', 0, 0.5, 0.1, 0, 0, 1, 0);"
        "create table dates (id int primary key, d date, dt datetime(6), tm time(6), ts timestamp null);"
        "insert into dates values (1, '1000-01-01', '1000-01-01 00:00:00.000000', '-838:59:59', '1970-01-02 00:00:01'),"
        " (2, '9999-12-31', '9999-12-31 23:59:59.999999', '838:59:59', '2038-01-19 03:14:07'),"
        " (3, '0000-00-00', '0000-00-00 00:00:00', '00:00:00.000001', NULL);"
        "create table big (id int primary key, txt varchar(300), amount decimal(12,2), note text);"
        "set session max_recursive_iterations = 100000;"
        "insert into big with recursive s(n) as (select 1 union all select n + 1 from s where n < 4000)"
        " select n, repeat(char(65 + n % 26), 100 + n % 150), n * 1.25, if(n % 7 = 0, NULL, concat('row''', n, '\\\\')) from s;"
        "create table nokey (a int, b varchar(10));"
        "insert into nokey values (1, 'x'), (1, 'x'), (NULL, NULL), (2, '');"
        "create table `we``ird'name` (`co``l` int primary key, `q'uote` varchar(10));"
        "insert into `we``ird'name` values (1, 'a'), (2, 'b');");
}

struct Mode {
    const char* name;
    const char* options;
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class ExportDataTest : public ::testing::TestWithParam<Mode> {
protected:
    static void SetUpTestSuite() { create_source(); }

    // Replays the dump into a fresh database and compares every table with the source.
    static void expect_replay_equals_source(const std::string& dump) {
        recreate_database(kCopy);
        std::string replay_output;
        ASSERT_EQ(replay_dump(dump, kCopy, &replay_output), 0) << replay_output;
        for (const char* table : kTables) {
            EXPECT_EQ(table_checksum(kCopy, table), table_checksum(kSource, table)) << table;
            std::string original = table_rows(kSource, table);
            EXPECT_FALSE(original.empty()) << table;
            EXPECT_EQ(table_rows(kCopy, table), original) << table;
        }
    }
};

TEST_P(ExportDataTest, DumpReplaysIntoAFreshDatabaseWithEqualTables) {
    TempDir dir;
    const std::string dump = dir.file("dump.sql");
    std::string xml = export_job_xml(std::string("<databases><database name=\"") + kSource +
                                         "\"><objects all=\"yes\"/></database></databases><script>" + dump + "</script>",
                                     GetParam().options);
    RunResult run = run_export_job(dir, xml);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("Exporting table big...Export successful..."), std::string::npos) << run.out;

    std::string text = read_file(dump);
    EXPECT_NE(text.find("\xF0\x9F\x98\x80"), std::string::npos) << "four-byte character written as it is";
    EXPECT_NE(text.find("/*!40101 SET NAMES utf8mb4 */;"), std::string::npos);

    expect_replay_equals_source(dump);
}

// A dump through the HTTP tunnel script replays just the same: every value crossed the
// tunnel's Base64 answers intact.
TEST_F(ExportDataTest, DumpThroughTheHttpTunnelReplaysEqually) {
    TempDir dir;
    const std::string dump = dir.file("dump.sql");
    std::string xml = export_job_xml(std::string("<databases><database name=\"") + kSource +
                                         "\"><objects all=\"yes\"/></database></databases><script>" + dump + "</script>",
                                     "<bulkinsert>yes</bulkinsert><bulksize>16</bulksize>");
    xml.replace(xml.find("</source>"), 0,
                "<tunnelinfo type=\"http\"><url>" + service_value("HTTP_TUNNEL_URL") + "</url></tunnelinfo>");
    RunResult run = run_export_job(dir, xml);
    ASSERT_EQ(run.exit_code, 0) << run.out;
    // Numbers unquoted as over a direct connection, though the tunnel's columns have no flags.
    std::string text = read_file(dump);
    EXPECT_NE(text.find("(1,'it\\'s a"), std::string::npos);
    EXPECT_NE(text.find(",-128,-9223372036854775808,18446744073709551615,1901)"), std::string::npos);
    EXPECT_NE(text.find("(3,NULL,NULL,NULL"), std::string::npos);
    expect_replay_equals_source(dump);
}

const Mode kModes[] = {
    {"single_row", "<bulkinsert>no</bulkinsert>"},
    {"single_row_complete", "<bulkinsert>no</bulkinsert><completeinsert>yes</completeinsert>"},
    {"bulk", "<bulkinsert>yes</bulkinsert><bulksize>16</bulksize>"},
    {"bulk_complete", "<bulkinsert>yes</bulkinsert><bulksize>16</bulksize><completeinsert>yes</completeinsert>"},
    {"chunked", "<bulkinsert>yes</bulkinsert><bulksize>16</bulksize><chunkinsert>yes</chunkinsert><chunklimit>333</chunklimit>"},
    {"locks_and_keys", "<bulkinsert>yes</bulkinsert><locktableread>yes</locktableread><locktablewrite>yes</locktablewrite>"
                       "<disablekeys>yes</disablekeys><autocommit>yes</autocommit><fkchecks>yes</fkchecks><dropobjects>yes</dropobjects>"},
    {"snapshot_and_flush", "<bulkinsert>yes</bulkinsert><singletransaction>yes</singletransaction><flushlogs>yes</flushlogs>"
                           "<flushslave>yes</flushslave>"},
    {"chunked_single_row", "<bulkinsert>no</bulkinsert><chunkinsert>yes</chunkinsert><chunklimit>700</chunklimit>"},
};

INSTANTIATE_TEST_SUITE_P(InsertForms, ExportDataTest, ::testing::ValuesIn(kModes),
                         [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

TEST(ExportDataSizing, BulkStatementsBreakAtTheBulkSize) {
    create_source();
    TempDir dir;
    const std::string dump = dir.file("dump.sql");
    RunResult run = run_export_job(
        dir, export_job_xml(std::string("<databases><database name=\"") + kSource +
                                "\"><objects><tables><table>big</table></tables></objects></database></databases><script>" +
                                dump + "</script>",
                            "<bulkinsert>yes</bulkinsert><bulksize>16</bulksize>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    std::string text = read_file(dump);
    std::size_t statements = 0, longest = 0, at = 0;
    for (std::size_t next; (next = text.find("\ninsert  into `big` values ", at)) != std::string::npos; at = next + 1) {
        std::size_t end = text.find(";\n", next);
        ASSERT_NE(end, std::string::npos);
        longest = std::max(longest, end - next);
        ++statements;
    }
    // About 800 KB of rows in statements of at most 16 KB (plus the one row that reaches it).
    EXPECT_GT(statements, 40u);
    EXPECT_LT(longest, 16u * 1024 + 600);
}

}  // namespace

// The summary and the script of a two-way run in direct-and-script mode, byte for byte
// where their layout is fixed: the script's frame, the direction markers, and a bulk copy
// cut into statements that each fit the target's packet limit.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_fixture.h"
#include "sync_fixture.h"

namespace {

std::size_t count_of(const std::string& text, const std::string& piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(SyncLayout, SummaryAndScriptOfATwoWayRunHaveTheirFixedLayout) {
    recreate_database("kro_sync_lay_src");
    recreate_database("kro_sync_lay_tgt");
    mariadb_exec("use kro_sync_lay_src; create table big (id int primary key, pad varchar(1000));"
                 "insert into big select seq, repeat(char(65 + seq % 26), 1000) from seq_1_to_40;"
                 "create table empty (id int primary key); create table tw (v int); insert into tw values (1), (2);"
                 "use kro_sync_lay_tgt; create table empty (id int primary key); create table tw (v int);"
                 "insert into tw values (2), (3);");
    // 16 KB packets: statements of at most 11 KB (five sevenths), so the 40 KB copy takes several.
    GlobalSetting packet("max_allowed_packet", "16384");
    TempDir dir;
    const std::string script = dir.file("two-way.sql");
    RunResult run = run_sync_job(
        dir, sync_job_xml(sync_server_xml("source", "MARIADB", "kro_sync_lay_src"),
                          sync_server_xml("target", "MARIADB", "kro_sync_lay_tgt"),
                          "<tables all=\"no\"><table><name>big</name></table><table><name>empty</name></table>"
                          "<table><name>tw</name></table></tables><twowaysync value=\"yes\"/>"
                          "<sync_action type=\"all\"><file>" + script + "</file></sync_action>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_NE(run.out.find("\nTable                      SrcRows  TgtRows  Inserted  Updated  Deleted\n"
                           "=========================  =======  =======  ========  =======  =======\n" +
                           summary_line("big", 40, 0, 40, 0, 0) + "\n" + summary_line("empty", 0, 0, 0, 0, 0) +
                           "\n\n" + summary_line("empty", 0, 0, 0, 0, 0) + "\n"),
              std::string::npos)
        << run.out;
    EXPECT_TRUE(has_summary(run.out, "tw", 2, 2, 1, 0, 0)) << run.out;
    EXPECT_TRUE(has_summary(run.out, "tw", 3, 2, 1, 0, 0)) << run.out;  // the reverse pass, no row deleted
    expect_same_table("kro_sync_lay_src", "kro_sync_lay_tgt", "big");
    expect_same_table("kro_sync_lay_src", "kro_sync_lay_tgt", "tw");

    const std::string text = read_file(script);
    const std::string version = mariadb_value("select version()");
    const std::string frame_end = "MySQL - " + version + "  \n" + std::string(69, '*') + "\n*/\r\n";
    ASSERT_EQ(text.rfind("/*\nVelmar Job Agent Version 8.2 ", 0), 0u) << text.substr(0, 300);
    const std::size_t body_at = text.find(frame_end);
    ASSERT_NE(body_at, std::string::npos) << text.substr(0, 300);
    const std::string body = text.substr(body_at + frame_end.size());
    const std::string head = "insert into `big`(`id`, `pad`) values (";
    const std::string start =
        "/*!40101 SET NAMES utf8mb4 */;\n"
        "/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE, TIME_ZONE='+00:00' */;\n"
        "/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;\n"
        "/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;\n"
        "/*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,ALLOW_INVALID_DATES' */;\n"
        "/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;\n\n"
        "/* SYNC DB : kro_sync_lay_tgt */ \n"
        "SET AUTOCOMMIT = 0;\nSET AUTOCOMMIT = 0;\n"
        "/*Source To Target */\n\n/* SYNC TABLE : big */\n\n" + head;
    ASSERT_EQ(body.substr(0, start.size()), start);
    const std::string after_copy =
        "/*Source To Target */\n\n/* SYNC TABLE : empty */\n\n/*Target To source*/\n\n"
        "/*Source To Target */\n\n/* SYNC TABLE : tw */\n\n"
        "insert into `tw`(`v`) values('1');\n"
        "/*Target To source*/\n\n"
        "insert into `tw`(`v`) values('3');\n"
        "\nCOMMIT;\n\nCOMMIT;\n"
        "/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;\n"
        "/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */;\n"
        "/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;\n"
        "/*!40103 SET TIME_ZONE=@OLD_TIME_ZONE */;\n";
    const std::size_t copy_end = body.find(after_copy);
    ASSERT_NE(copy_end, std::string::npos) << body.substr(body.size() > 800 ? body.size() - 800 : 0);
    EXPECT_EQ(copy_end + after_copy.size(), body.size());

    // The copy: statements that each open with the same head, end with ";\n", hold whole
    // rows and stay within the limit; all 40 rows, none twice.
    const std::string copy = body.substr(start.size() - head.size(), copy_end - (start.size() - head.size()));
    std::size_t statements = 0, rows = 0;
    for (std::size_t at = 0; at < copy.size();) {
        std::size_t end = copy.find(";\n", at);
        ASSERT_NE(end, std::string::npos);
        const std::string statement = copy.substr(at, end - at);
        EXPECT_EQ(statement.rfind(head, 0), 0u) << statement.substr(0, 80);
        EXPECT_LE(statement.size(), 11u * 1024) << statements;
        EXPECT_EQ(statement.back(), ')');
        rows += count_of(statement, "('");
        ++statements;
        at = end + 2;
    }
    EXPECT_GE(statements, 4u);
    EXPECT_EQ(rows, 40u);
}

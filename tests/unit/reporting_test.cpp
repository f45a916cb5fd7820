#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kro_test_support.h"
#include "report/process_state.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace {

// Points the process-wide log and session files at temporary files for one test.
class ReportingTest : public testing::Test {
protected:
    void SetUp() override {
        log_file = std::fopen(dir.file("kro.log").c_str(), "a+");
        session_file = std::fopen(dir.file("session.xml").c_str(), "w");
        log_path = "/var/log/some kro.log";
        ASSERT_NE(log_file, nullptr);
        ASSERT_NE(session_file, nullptr);
    }
    void TearDown() override {
        close_files();
        log_path.clear();
    }
    void close_files() {
        if (log_file) std::fclose(log_file);
        if (session_file) std::fclose(session_file);
        log_file = session_file = nullptr;
    }
    std::string log() { return read_file(dir.file("kro.log")); }
    std::string session() { return read_file(dir.file("session.xml")); }

    TempDir dir;
};

}  // namespace

TEST_F(ReportingTest, FailureGoesToConsoleCheckLineLogAndSessionInThatOrder) {
    testing::internal::CaptureStdout();
    report_failure("\r\nSomething broke\r\n");
    std::string console = testing::internal::GetCapturedStdout();
    close_files();
    EXPECT_EQ(console,
              "\r\nSomething broke\r\n\nCheck /var/log/some kro.log for complete error details.\n");
    EXPECT_EQ(log(), "\r\nSomething broke\r\n");
    EXPECT_EQ(session(), "<error>\r\nSomething broke\r\n</error>");
}

TEST_F(ReportingTest, FailureWithoutEntryLeavesTheSessionFileAlone) {
    testing::internal::CaptureStdout();
    report_failure_no_entry("Invalid JOB TYPE selected.\r\n");
    std::string console = testing::internal::GetCapturedStdout();
    close_files();
    EXPECT_EQ(console.rfind("Invalid JOB TYPE selected.\r\n\nCheck ", 0), 0u);
    EXPECT_EQ(log(), "Invalid JOB TYPE selected.\r\n");
    EXPECT_EQ(session(), "");
}

TEST_F(ReportingTest, SessionEntriesEscapeMarkupCharactersAndReplaceControlBytes) {
    testing::internal::CaptureStdout();
    report_failure("a < b & \"c\" > d\x01\x1f\t");
    ReportBody report;
    report_query_error(1146, "Table 'x<y' doesn't exist", "t&\"1\"", report, nullptr);
    std::string console = testing::internal::GetCapturedStdout();
    close_files();
    EXPECT_EQ(console.rfind("a < b & \"c\" > d\x01", 0), 0u);  // the console shows it as it is
    // A text without a line end gets one in the log, so that the next entry starts a line.
    EXPECT_EQ(log().rfind("a < b & \"c\" > d\x01\x1f\t\nError No. 1146\r\n", 0), 0u) << log();
    // No XML file may hold a control byte, not even as a character reference.
    EXPECT_EQ(session(),
              "<error>a &lt; b &amp; &quot;c&quot; &gt; d\xEF\xBF\xBD\xEF\xBF\xBD\t</error>"
              "<error table=\"t&amp;&quot;1&quot;\">Error No. 1146\r\nTable 'x&lt;y' doesn't "
              "exist\r\n</error>");
}

TEST_F(ReportingTest, QueryErrorLogsDetailsButShowsOnlyTheNoticeWithoutCheckLine) {
    ReportBody report;
    StrBuf last_error;
    testing::internal::CaptureStdout();
    report_query_error(1064, "syntax error", nullptr, report, &last_error);
    std::string console = testing::internal::GetCapturedStdout();
    close_files();
    const std::string notice =
        "There was an error while executing a query. The query and the error has been logged in "
        "the log file.";
    EXPECT_EQ(console, notice + "\n");
    EXPECT_EQ(log(), "Error No. 1064\r\nsyntax error\r\n");
    EXPECT_EQ(session(), "<error>Error No. 1064\r\nsyntax error\r\n</error>");
    EXPECT_EQ(last_error.str(), notice);
    EXPECT_EQ(report.html.str(), notice + "<br>");
    EXPECT_EQ(report.plain.str(), notice + "\r\n");
}

TEST_F(ReportingTest, PrintAndLogEndsEachTextsLineAndSaysWhetherTheLogGotIt) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(print_and_log("Mail sent"), 1);
    EXPECT_EQ(print_and_log(nullptr), 0);
    std::fclose(log_file);
    log_file = nullptr;
    EXPECT_EQ(print_and_log("console only"), 0);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console, "\nMail sent\n\nconsole only\n");
    EXPECT_EQ(log(), "\nMail sent\n");
}

// A fixed text that leaves its line open ("\r\nMail sent successfully") is ended before a
// line of kro's own, so that grep '^Job ended' finds every run; a line already ended gets
// no blank line, and the summary follows the outcome.
TEST_F(ReportingTest, OwnLinesStartOnALineOfTheirOwn) {
    testing::internal::CaptureStdout();
    print_and_append_log("\r\nMail sent successfully");
    log_job_ended("syncjob", "failed", 1, "Synced 0 tables, 1 failed.");
    print_and_append_log("Job started\r\n");
    log_own_line("Warning: own line");
    testing::internal::GetCapturedStdout();
    close_files();
    const std::string text = log();
    const std::size_t ended = text.find("Job ended at ");
    ASSERT_NE(ended, std::string::npos) << text;
    EXPECT_EQ(text.substr(0, ended), "\r\nMail sent successfully\r\n");
    const std::size_t outcome = text.find(": syncjob, failed, exit code 1. Synced 0 tables, 1 failed.\r\n\r\n");
    ASSERT_NE(outcome, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("\r\n\r\n", outcome) + 4), "Job started\r\nWarning: own line\n");
}

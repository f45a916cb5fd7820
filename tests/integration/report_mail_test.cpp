// The report step of the sync, export and import jobs: finishing the bodies, mailing them
// through the sink, and what is printed, logged and entered in the session file after.
#include <gtest/gtest.h>

#include <cstdio>

#include "kro_test_support.h"
#include "mail/mail_settings.h"
#include "mail/report_texts.h"
#include "report/process_state.h"
#include "report/report_body.h"
#include "report/reporting.h"
#include "stored_mail.h"

using namespace kro::report;
using namespace kro::mail;

namespace {

class ReportMail : public testing::Test {
protected:
    void SetUp() override {
        log_file = std::fopen(dir.file("kro.log").c_str(), "a+");
        session_file = std::fopen(dir.file("session.xml").c_str(), "w");
        log_path = "kro.log";
        request.send_report = 1;
        request.mail.host = service_value("SMTP_HOST");
        request.mail.port = service_value("SMTP_PORT");
        request.mail.display_name = "kro";
        request.mail.from_email = "kro@example.com";
        request.mail.to_email = token + "@example.com";
        request.mail.subject = "report";
        forget_reported_errors();
    }
    void TearDown() override { close_files(); }
    void close_files() {
        if (log_file) std::fclose(log_file);
        if (session_file) std::fclose(session_file);
        log_file = session_file = nullptr;
    }
    // Runs the report step and returns what it printed.
    std::string run_step(ReportKind kind, int succeeded, int* mailed) {
        testing::internal::CaptureStdout();
        *mailed = send_report_if_asked(request, kind, succeeded, body, "Mon Jan  1 10:00:00 2024");
        return testing::internal::GetCapturedStdout();
    }

    TempDir dir;
    std::string token = unique_mail_token("report");
    ReportRequest request;
    ReportBody body;
};

}  // namespace

TEST_F(ReportMail, FailedExportMailsItsFailureReportWithTheRunsErrorsWithoutAlways) {
    start_report(body, ReportKind::export_job, "Sun Dec 31 23:59:00 2023");
    add_to_report(body, "Exporting Database shop...", "Exporting Database shop...");
    end_report_work(body);
    testing::internal::CaptureStdout();
    report_failure("Table 'shop.<b>' doesn't exist\r\n");
    report_failure_no_entry("Error writing in file.\n28:No space left on device");
    testing::internal::GetCapturedStdout();
    int mailed = 0;
    std::string console = run_step(ReportKind::export_job, 0, &mailed);
    close_files();
    EXPECT_EQ(mailed, 1);
    EXPECT_EQ(console, "\r\nMail sent successfully");

    // The specified lines first, then what went wrong, in the order it was reported.
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    ASSERT_EQ(mail.parts.size(), 2u);
    EXPECT_EQ(mail.parts[0],
              " Scheduled export started at:Sun Dec 31 23:59:00 2023Exporting Database shop...\n"
              "Export job was unsucessful.\n\nErrors reported during the run:\nTable 'shop.<b>' doesn't exist\n"
              "Error writing in file.\n28:No space left on device\n\n \n\n");
    EXPECT_EQ(mail.parts[1].rfind("<html><style type=\"text/css\">\n<!--\n.topheader {", 0), 0u);
    EXPECT_NE(mail.parts[1].find("</style>\n<body bgcolor='white'><p class=\"text\">Scheduled export "
                                 "started at: <b>Sun Dec 31 23:59:00 2023<p><p class=\"text\">"
                                 "Exporting Database shop...<br></p><p class=\"text\">Export job was "
                                 "unsuccessful.<br><br><p class=\"text\">Errors reported during the run:<br>"
                                 "Table &#39;shop.&lt;b&gt;&#39; doesn&#39;t exist<br>"),
              std::string::npos)
        << mail.parts[1];
}

TEST_F(ReportMail, SuccessIsMailedOnlyWhenAlwaysIsSet) {
    start_report(body, ReportKind::import_job, "T0");
    end_report_work(body);
    int mailed = 0;
    run_step(ReportKind::import_job, 1, &mailed);
    EXPECT_EQ(mailed, 0);
    EXPECT_TRUE(no_stored_mail(token));

    request.report_always = 1;
    run_step(ReportKind::import_job, 1, &mailed);
    EXPECT_EQ(mailed, 1);
    StoredMail mail;
    ASSERT_TRUE(fetch_stored_mail(token, mail));
    EXPECT_EQ(mail.parts[0],
              " Scheduled import started at: T0\nImport job completed successfully at:"
              "Mon Jan  1 10:00:00 2024\n\n\n\n\n");
}

TEST_F(ReportMail, FailedSendingReportsBothTextsWithSessionEntries) {
    request.mail.port = service_value("SMTP_REJECT_PORT");
    start_report(body, ReportKind::sync, "T0");
    end_report_work(body);
    int mailed = 1;
    std::string console = run_step(ReportKind::sync, 0, &mailed);
    close_files();
    EXPECT_EQ(mailed, 0);
    std::string log = read_file(dir.file("kro.log"));
    EXPECT_NE(log.find("Error sending mail.\nSending Failed!\n"), std::string::npos) << log;  // never run together
    EXPECT_EQ(read_file(dir.file("session.xml")),
              "<error>Error sending mail.</error><error>Sending Failed!</error>");
    EXPECT_NE(console.find("Error sending mail.\nCheck kro.log for complete error details.\n"
                           "Sending Failed!\nCheck kro.log"),
              std::string::npos)
        << console;
}

TEST_F(ReportMail, NothingIsSentWhenTheReportIsOff) {
    request.send_report = 0;
    start_report(body, ReportKind::sync, "T0");
    std::string before = body.plain.str();
    int mailed = 1;
    std::string console = run_step(ReportKind::sync, 0, &mailed);
    EXPECT_EQ(mailed, 0);
    EXPECT_EQ(console, "");
    EXPECT_EQ(body.plain.str(), before);
    EXPECT_TRUE(no_stored_mail(token));
}

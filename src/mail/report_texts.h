// The texts of a job's report mail: the HTML frame and style sheet, the start and end
// lines of each job kind, and sending the report with what is printed afterwards.
// Job code calls these and adds its own message lines with add_to_report().
#pragma once

namespace kro::report {
struct ReportBody;
}

namespace kro::mail {

struct MailSettings;
struct ReportRequest;

enum class ReportKind { sync, export_job, import_job };

// "<html>", the style sheet and the body tag (HTML only): how every report begins,
// the notification mail's too.
void append_report_frame(report::ReportBody& body);
// The frame, then the job's start line with its start time.
void start_report(report::ReportBody& body, ReportKind kind, const char* start_time);
// Closes the paragraph that holds the work's message lines.
void end_report_work(report::ReportBody& body);
// The job's success or failure end; the sync failure end carries no time.
void finish_report(report::ReportBody& body, ReportKind kind, int success, const char* end_time);

// Fills a Mailer, sends, and tells the outcome: "\r\nMail sent successfully" to the
// console and the log, or "Error sending mail." and then the mailer's error text, each
// through report_failure. Returns 1 when the mail was sent. The subject shows the outcome
// and the host when the settings opt in.
int mail_report(const MailSettings& mail, const report::ReportBody& body, int job_succeeded);

// The report step at the end of a sync, export or import job: when the request asks for
// a report of this outcome (a failure always, a success only with report_always), the
// bodies are finished and mailed. A run being stopped by a signal counts as failed, and its
// report says so. Returns 1 when a report was mailed.
int send_report_if_asked(const ReportRequest& request, ReportKind kind, int job_succeeded,
                         report::ReportBody& body, const char* end_time);

}  // namespace kro::mail

#include "mail/report_texts.h"

#include <string>
#include <vector>

#include "mail/mail_settings.h"
#include "mail/mailer.h"
#include "platform/host_name.h"
#include "platform/stop_signals.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::report;

namespace kro::mail {

namespace {

constexpr char kStyleSheet[] =
    "<style type=\"text/css\">\r\n<!--\r\n"
    ".topheader { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 11px; font-style: "
    "normal; line-height: normal; font-weight: bold; color: #000000; text-decoration: none; "
    "background-color: #CCCCCC; height: auto; width: auto; border: 1px #999999 solid; padding-top: "
    "2px; padding-right: 2px; padding-bottom: 2px; padding-left: 5px }\r\n"
    ".topheaderfirst { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 11px; "
    "font-style: normal; line-height: normal; font-weight: bold; color: #000000; text-decoration: "
    "none; background-color: #CCCCCC; height: auto; width: auto; border: #999999 solid; "
    "padding-top: 2px; padding-right: 2px; padding-bottom: 2px; padding-left: 5px ; border-width: "
    "1px 0px 1px 1px}\r\n"
    ".datacols { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 12px; font-style: "
    "normal; line-height: normal; font-weight: normal; color: #000000; text-decoration: none; "
    "background-color: #FFFFFF; height: auto; width: auto; border: #999999 solid; padding-top: "
    "2px; padding-right: 2px; padding-bottom: 2px; padding-left: 5px ; border-width: 0px 1px "
    "1px}\r\n"
    ".datacolsfirst { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 12px; "
    "font-style: normal; line-height: normal; font-weight: normal; color: #000000; "
    "text-decoration: none; background-color: #FFFFFF; height: auto; width: auto; border: #999999 "
    "solid; padding-top: 2px; padding-right: 2px; padding-bottom: 2px; padding-left: 5px ; "
    "border-width: 0px 0px 1px 1px} \r\n"
    ".text {  font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 12px; font-style: "
    "normal; font-weight: normal; color: #000000; text-decoration: none}\r\n"
    ".error {  font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 12px; font-style: "
    "normal; font-weight: normal; color: #ff0000; text-decoration: none}\r\n"
    "//-->\r\n</style>\r\n";

// One job kind's lines; each pair is (HTML piece, plain piece) of one append.
struct KindTexts {
    const char* start_html;
    const char* start_plain;
    const char* after_start_time_html;
    const char* success_html;
    const char* success_plain;
    const char* failure_html;
    const char* failure_plain;
    bool failure_has_time;
    const char* failure_after_html;
    const char* close_plain;  // plain piece of "</body></html>"
};

const KindTexts& texts_of(ReportKind kind) {
    static const KindTexts kSync{
        "<p class=\"text\">Sync started at: <b>", " Sync started at:", "</b></p>",
        "<p class=\"text\">Sync completed successfully at: <b>", "\r\nSync completed successfully at: ",
        "<p class=\"text\">Sync was unsuccessful.", "Sync was unsucessful.", false, "<br><br>", " "};
    static const KindTexts kExport{
        "<p class=\"text\">Scheduled export started at: <b>", " Scheduled export started at:", "<p>",
        "<p class=\"text\">Export job completed successfully at: <b>",
        "\r\nExport job completed successfully at: ",
        "<p class=\"text\">Export job was unsuccessful.", "Export job was unsucessful.", false,
        "<br><br>", " "};
    static const KindTexts kImport{
        "<p class=\"text\">Scheduled import started at: <b>", " Scheduled import started at: ", "<p>",
        "<p class=\"text\">Import job completed successfully at: <b>",
        "\r\nImport job completed successfully at:",
        "<p class=\"text\">Import job completed at: <b>", "\r\nImport job completed at:", true,
        "</b></p>", "\r\n"};
    switch (kind) {
        case ReportKind::sync: return kSync;
        case ReportKind::export_job: return kExport;
        case ReportKind::import_job: break;
    }
    return kImport;
}

// What went wrong, after the failure line: every error text the run reported, and the stop
// when a signal ended the run (the runner reports that only after the job).
void append_reported_errors(ReportBody& body) {
    std::vector<std::string> errors = reported_errors();
    if (int signal = platform::stop_signal()) errors.push_back(platform::stop_text(signal));
    if (errors.empty()) return;
    body.append("<p class=\"text\">Errors reported during the run:<br>", "Errors reported during the run:\r\n");
    for (const std::string& error : errors) {
        body.append_text(error.c_str());
        body.append("<br>", "\r\n");
    }
    body.append("</p>", "\r\n");
}

}  // namespace

void append_report_frame(ReportBody& body) {
    body.append("<html>", "");
    body.append(kStyleSheet, "");
    body.append("<body bgcolor='white'>", "");
}

void start_report(ReportBody& body, ReportKind kind, const char* start_time) {
    const KindTexts& t = texts_of(kind);
    append_report_frame(body);
    body.append(t.start_html, t.start_plain);
    body.append(start_time, start_time);
    body.append(t.after_start_time_html, "");
    body.append("<p class=\"text\">", "");
}

void end_report_work(ReportBody& body) { body.append("</p>", ""); }

void finish_report(ReportBody& body, ReportKind kind, int success, const char* end_time) {
    const KindTexts& t = texts_of(kind);
    if (success) {
        body.append(t.success_html, t.success_plain);
        body.append(end_time, end_time);
        body.append("</b></p>", "\r\n\r\n");
    } else {
        body.append(t.failure_html, t.failure_plain);
        if (t.failure_has_time) body.append(end_time, end_time);
        body.append(t.failure_after_html, "\r\n\r\n");
        append_reported_errors(body);
    }
    body.append("</body></html>", t.close_plain);
}

namespace {

// The subject as the job file opts in to: "[succeeded] " or "[failed] " before it, " (<host>)"
// after it. Without the attributes it stays exactly as given.
std::string report_subject(const MailSettings& mail, const std::string& subject, int job_succeeded) {
    std::string text = subject;
    if (mail.subject_outcome) text = (job_succeeded ? "[succeeded] " : "[failed] ") + text;
    if (mail.subject_host) {
        const std::string host = platform::host_name();
        if (!host.empty()) text += " (" + host + ")";
    }
    return text;
}

}  // namespace

int mail_report(const MailSettings& mail, const ReportBody& body, int job_succeeded) {
    Mailer mailer;
    mailer.fill(mail, body);
    if (mail.subject_outcome || mail.subject_host) {
        const std::string subject = report_subject(mail, mailer.subject.str(), job_succeeded);
        mailer.subject.clear();
        mailer.subject.append(subject);
    }
    if (mailer.send()) {
        print_and_append_log("\r\nMail sent successfully");
        flush_outputs();
        return 1;
    }
    report_failure("Error sending mail.");
    report_failure(mailer.error_text.c_str());
    flush_outputs();
    return 0;
}

int send_report_if_asked(const ReportRequest& request, ReportKind kind, int job_succeeded,
                         ReportBody& body, const char* end_time) {
    // A stop that arrives from here on lets the report be mailed as it was decided: the
    // outcome is fixed before the mail is begun, not changed while it travels.
    platform::SocketsKeptThroughStop mailing;
    // A stopped run did not do all it was asked to, whatever its part so far did.
    if (platform::stop_requested()) job_succeeded = 0;
    if (!request.send_report || (job_succeeded && !request.report_always)) return 0;
    finish_report(body, kind, job_succeeded, end_time);
    return mail_report(request.mail, body, job_succeeded);
}

}  // namespace kro::mail

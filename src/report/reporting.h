// How errors and progress reach the user: the console (stdout), the log file and the
// session file, always in that order. Callers build the texts; these only carry them.
// Each erases a live progress line (report/progress_line.h) before it prints.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/str_buf.h"

namespace kro::report {

struct ReportBody;

// Console, check line, log, and a plain <error> entry in the session file.
void report_failure(const char* text);
// "\nCheck <log file> for complete error details.\n" on the console.
void print_check_line();
// A text (a statement, mostly) as an error report quotes it: whole up to max_bytes, else
// its first max_bytes, ended at a character's boundary, and a mark that says it was cut.
// A row batch of megabytes helps nobody on a console, in a log or in a session file.
constexpr std::size_t kQuotedTextLength = 1000;
std::string quoted_for_report(std::string_view text, std::size_t max_bytes = kQuotedTextLength);
// Console, check line, log; no session entry.
void report_failure_no_entry(const char* text);
// Only the session file's <error> entry; with a table, the entry names it.
void add_session_entry(const char* text, const char* table = nullptr);
// A failed statement of the sync job: the error goes to the log and the session file
// (naming the table when one is given), the fixed notice to the console and the report.
void report_query_error(unsigned number, const char* error_text, const char* table,
                        ReportBody& report, common::StrBuf* last_error);
// "\n%s" to the console and, when it is open, to the log; 1 when the log got it.
int print_and_log(const char* text);
// The text as it is to the console and the log (no line break added).
void print_and_append_log(const char* text);
// The text as it is on the console.
void print_console(const char* text);
// The text and a line break on the console.
void print_console_line(const char* text);
// "<lead>Total time taken - <seconds> sec(s)\r\n" on the console, the last line of a job.
void print_time_taken(const char* lead, unsigned seconds);
// The text as it is on the console and in the log, HTML-escaped in the HTML body.
void show_everywhere(ReportBody& report, const char* text);
// A warning: both report bodies (then "<br>" / "\r\n"), the console, the check line, and
// the log on a line of its own (see log_own_line). No session entry.
void show_warning(ReportBody& report, const char* text);
// Appends a message line to both report texts, then "<br>" and "\r\n".
void add_to_report(ReportBody& report, const char* html, const char* plain);
// "Job started at %s\r\n\r\n" with the local time, to the console and the log.
void print_job_started();
// A line of kro's own in the log, on a line of its own: a text before it that left its
// line open is ended first. The line is ended when the text does not end it.
void log_own_line(const char* text);
// The run's last line in the log, so that a log shows how each run ended:
// "Job ended at <local time>: <kind>, <outcome>, exit code <code>. <summary>\r\n\r\n"
// (the summary, what the job did, only when there is one).
void log_job_ended(const char* kind, const char* outcome, int exit_code, const std::string& summary = {});
// What the job did, in a few words, for its closing log line; set by the job before it
// returns (the last call holds), empty when it says nothing.
void set_job_summary(std::string summary);
const std::string& job_summary();
// Flushes the console, log and session file so that nothing lags behind the work.
void flush_outputs();

// The error texts reported so far in this run (the first 100, each cut to 2000 bytes), for
// the failure report mail.
const std::vector<std::string>& reported_errors();
// Starts the list afresh, for a process that reports more than one run (the tests do: a
// run's mail must not carry an earlier run's errors, nor miss its own past the first 100).
void forget_reported_errors();

}  // namespace kro::report

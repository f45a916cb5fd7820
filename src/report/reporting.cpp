#include "report/reporting.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

#include "common/html_text.h"
#include "common/timestamp.h"
#include "report/process_state.h"
#include "report/progress_line.h"
#include "report/report_body.h"

using namespace kro::common;

namespace kro::report {

namespace {

std::vector<std::string> errors_of_the_run;
std::string summary_of_the_job;

void remember_error(const char* text) {
    constexpr std::size_t kMaxErrors = 100;
    constexpr std::size_t kMaxLength = 2000;
    if (!text || errors_of_the_run.size() >= kMaxErrors) return;
    std::string_view view(text);
    view = view.substr(0, kMaxLength);
    while (!view.empty() && (view.front() == '\r' || view.front() == '\n')) view.remove_prefix(1);
    while (!view.empty() && (view.back() == '\r' || view.back() == '\n')) view.remove_suffix(1);
    if (!view.empty()) errors_of_the_run.emplace_back(view);
}

void write_raw(FILE* stream, const char* text) {
    if (stream && text) std::fwrite(text, 1, std::strlen(text), stream);
}

// Session entries are XML: markup characters in texts and table names become entities,
// and control bytes (which no XML file may hold) the replacement character. Each entry
// goes out in one write, so that the file never holds half an entry.
void write_session_entry(const char* text, const char* table) {
    if (!session_file) return;
    StrBuf entry;
    if (table) {
        entry.append("<error table=\"");
        append_markup_escaped(entry, table, kXmlFileStyle);
        entry.append("\">");
    } else {
        entry.append("<error>");
    }
    append_markup_escaped(entry, text ? text : "", kXmlFileStyle);
    entry.append("</error>");
    std::fwrite(entry.c_str(), 1, entry.length(), session_file);
}

bool ends_line(const char* text) {
    std::size_t n = std::strlen(text);
    return n > 0 && text[n - 1] == '\n';
}

// Writes the text and ends its line, so that the next text never runs on from it.
void write_line(FILE* stream, const char* text) {
    if (!stream || !text) return;
    write_raw(stream, text);
    if (!ends_line(text)) write_raw(stream, "\n");
}

// Starts a line of kro's own in the log: a text before it that did not end its line (a
// fixed text such as "\r\nMail sent successfully") is ended first, so that the own line
// can be found at the start of a line.
void start_own_log_line() {
    if (!log_file) return;
    std::fflush(log_file);
    struct stat info {};
    const int fd = fileno(log_file);
    if (fstat(fd, &info) != 0 || info.st_size == 0) return;
    char last = '\n';
    if (pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n') write_raw(log_file, "\r\n");
}

}  // namespace

void log_own_line(const char* text) {
    if (!log_file || !text) return;
    start_own_log_line();
    write_line(log_file, text);
    std::fflush(log_file);
}

void print_check_line() {
    ProgressLine::erase_live();
    std::printf("\nCheck %s for complete error details.\n", log_path.c_str());
}

namespace {

// The error to the console and the log.
void show_failure(const char* text) {
    if (!text) text = "";
    remember_error(text);
    ProgressLine::erase_live();
    std::printf("%s", text);
    print_check_line();
    write_line(log_file, text);
}

}  // namespace

void report_failure_no_entry(const char* text) { show_failure(text); }

void report_failure(const char* text) {
    show_failure(text);
    add_session_entry(text ? text : "");
}

std::string quoted_for_report(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    std::size_t end = max_bytes;
    // Never half a UTF-8 character: back up over continuation bytes.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    std::string out(text.substr(0, end));
    out += " ...[cut: " + std::to_string(text.size()) + " bytes in all]";
    return out;
}

void add_session_entry(const char* text, const char* table) { write_session_entry(text, table); }

void report_query_error(unsigned number, const char* error_text, const char* table,
                        ReportBody& report, StrBuf* last_error) {
    static const char kNotice[] =
        "There was an error while executing a query. The query and the error has been logged in "
        "the log file.";
    StrBuf text;
    text.format("Error No. %d\r\n%s\r\n", static_cast<int>(number), error_text ? error_text : "");
    remember_error(text.c_str());
    write_raw(log_file, text.c_str());
    write_session_entry(text.c_str(), table);
    if (last_error) last_error->assign(kNotice, 1);
    add_to_report(report, kNotice, kNotice);
    ProgressLine::erase_live();
    std::printf("%s\n", kNotice);
    flush_outputs();
}

int print_and_log(const char* text) {
    if (!text) return 0;
    const char* end = ends_line(text) ? "" : "\n";
    ProgressLine::erase_live();
    std::printf("\n%s%s", text, end);
    if (!log_file) return 0;
    return std::fprintf(log_file, "\n%s%s", text, end) >= 0 ? 1 : 0;
}

void print_and_append_log(const char* text) {
    if (!text) return;
    ProgressLine::erase_live();
    std::printf("%s", text);
    write_raw(log_file, text);
}

void print_console(const char* text) {
    if (!text) return;
    ProgressLine::erase_live();
    std::printf("%s", text);
}

void print_console_line(const char* text) {
    print_console(text);
    std::fputs("\n", stdout);
}

void print_time_taken(const char* lead, unsigned seconds) {
    ProgressLine::erase_live();
    std::printf("%sTotal time taken - %u sec(s)\r\n", lead, seconds);
}

void show_everywhere(ReportBody& report, const char* text) {
    print_and_append_log(text);
    report.append_text(text);
}

void show_warning(ReportBody& report, const char* text) {
    report.append_text(text);
    report.append("<br>", "\r\n");
    print_console(text);
    print_check_line();
    log_own_line(text);
    flush_outputs();
}

void add_to_report(ReportBody& report, const char* html, const char* plain) {
    report.append(html, plain);
    report.append("<br>", "\r\n");
}

void print_job_started() {
    StrBuf line;
    line.format("Job started at %s\r\n\r\n", asctime_text().c_str());
    print_and_append_log(line.c_str());
    flush_outputs();
}

void log_job_ended(const char* kind, const char* outcome, int exit_code, const std::string& summary) {
    if (!log_file) return;
    StrBuf line;
    line.format("Job ended at %s: %s, %s, exit code %d.", asctime_text().c_str(), kind, outcome, exit_code);
    if (!summary.empty()) line.append((" " + summary).c_str());
    line.append("\r\n\r\n");
    log_own_line(line.c_str());
}

void set_job_summary(std::string summary) { summary_of_the_job = std::move(summary); }

const std::string& job_summary() { return summary_of_the_job; }

void flush_outputs() { std::fflush(nullptr); }

const std::vector<std::string>& reported_errors() { return errors_of_the_run; }

void forget_reported_errors() { errors_of_the_run.clear(); }

}  // namespace kro::report

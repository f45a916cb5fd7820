#include "report/reporting.h"

#include <cstdio>
#include <cstring>

#include "common/timestamp.h"
#include "report/process_state.h"
#include "report/report_body.h"

namespace {

void write_raw(FILE* stream, const char* text) {
    if (stream && text) std::fwrite(text, 1, std::strlen(text), stream);
}

// Session entries are XML: markup characters in texts and table names become entities.
void write_escaped(FILE* stream, const char* text) {
    if (!stream || !text) return;
    const char* run = text;
    for (const char* p = text; *p; ++p) {
        const char* entity = nullptr;
        switch (*p) {
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '"': entity = "&quot;"; break;
            default: continue;
        }
        std::fwrite(run, 1, static_cast<std::size_t>(p - run), stream);
        write_raw(stream, entity);
        run = p + 1;
    }
    write_raw(stream, run);
}

void write_session_entry(const char* text, const char* table) {
    if (!session_file) return;
    if (table) {
        write_raw(session_file, "<error table=\"");
        write_escaped(session_file, table);
        write_raw(session_file, "\">");
    } else {
        write_raw(session_file, "<error>");
    }
    write_escaped(session_file, text);
    write_raw(session_file, "</error>");
}

void print_check_line() { std::printf("\nCheck %s for complete error details.\n", log_path.c_str()); }

}  // namespace

void report_failure_no_entry(const char* text) {
    std::printf("%s", text);
    print_check_line();
    write_raw(log_file, text);
}

void report_failure(const char* text) {
    report_failure_no_entry(text);
    add_session_entry(text);
}

void add_session_entry(const char* text) { write_session_entry(text, nullptr); }

void report_error_number(long number, const char* error_text) {
    StrBuf text;
    text.format("\r\nERROR: %ld, %s", number, error_text ? error_text : "");
    report_failure(text.c_str());
}

void report_query_error(unsigned number, const char* error_text, const char* table,
                        ReportBody& report, StrBuf* last_error) {
    static const char kNotice[] =
        "There was an error while executing a query. The query and the error has been logged in "
        "the log file.";
    StrBuf text;
    text.format("Error No. %d\r\n%s\r\n", static_cast<int>(number), error_text ? error_text : "");
    write_raw(log_file, text.c_str());
    write_session_entry(text.c_str(), table);
    if (last_error) last_error->assign(kNotice, 1);
    add_to_report(report, kNotice, kNotice);
    std::printf("%s\n", kNotice);
    flush_outputs();
}

int print_and_log(const char* text) {
    if (!text) return 0;
    std::printf("\n%s", text);
    if (!log_file) return 0;
    return std::fprintf(log_file, "\n%s", text) >= 0 ? 1 : 0;
}

void print_and_append_log(const char* text) {
    if (!text) return;
    std::printf("%s", text);
    write_raw(log_file, text);
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

void flush_outputs() { std::fflush(nullptr); }

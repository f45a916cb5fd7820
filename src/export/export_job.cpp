#include "export/export_job.h"

#include <atomic>
#include <ctime>
#include <optional>
#include <strings.h>

#include "common/html_text.h"
#include "common/timestamp.h"
#include "connection/ssh_tunnel.h"
#include "export/dump_writer.h"
#include "export/export_settings.h"
#include "mail/report_texts.h"
#include "platform/stop_signals.h"
#include "report/progress_line.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::export_ {

namespace {

// What the progress callback needs: the report the lines also go to, and the live line of
// the table whose rows are being read.
struct ProgressTarget {
    ReportBody* report;
    std::optional<ProgressLine> rows;
};

// The line an object's start event shows; null for events that show none.
const char* start_line_format(int number) {
    static const char* const kFormats[] = {
        "Exporting Database %s...", "Exporting table %s...", "Exporting view %s...",
        "Exporting procedure %s...", "Exporting function %s...", "Exporting trigger %s...",
        "Exporting event %s...",
    };
    if (number >= kDatabaseStarted && number <= kEventStarted) return kFormats[number];
    if (number == kPackageStarted) return "Exporting package %s...";
    return nullptr;
}

void on_progress(void* user, const char* name, long count, int number) {
    ProgressTarget& target = *static_cast<ProgressTarget*>(user);
    ReportBody& report = *target.report;
    if (number == kRowProgress || number == kRowTotal || number == kRowEstimate) {
        if (!target.rows) return;
        if (number == kRowProgress)
            target.rows->update(static_cast<std::uint64_t>(count));
        else if (count > 0)
            target.rows->expect(static_cast<std::uint64_t>(count));
        return;
    }
    const char* format = start_line_format(number);
    if (!format && number != kObjectFinished) return;  // other counts and group names are not shown
    target.rows.reset();  // erased before the next text
    if (format) {
        StrBuf line;
        line.format(format, name ? name : "");
        StrBuf html = html_escaped(line.c_str());
        if (number == kTableStarted) {
            // "Export successful..." completes this line.
            report.append(html.c_str(), line.c_str());
            print_console(line.c_str());
            target.rows.emplace(line.c_str(), "rows");
        } else {
            add_to_report(report, html.c_str(), line.c_str());
            print_console_line(line.c_str());
        }
    } else {
        add_to_report(report, "Export successful...", "Export successful...");
        print_console_line("Export successful...");
    }
    flush_outputs();
}

// What the closing log line says the export did: "wrote <file> (<bytes> bytes, <rows> rows),
// ...; binary log <file> at <position>."
std::string export_summary(const DumpWriter& writer) {
    std::string summary;
    for (const WrittenFile& file : writer.written_files())
        summary += (summary.empty() ? "Wrote " : ", ") + file.path + " (" + std::to_string(file.bytes) + " bytes, " +
                   std::to_string(file.rows) + " rows)";
    if (summary.empty()) summary = "Wrote no complete dump";
    if (const auto& position = writer.binlog_position()) summary += "; binary log " + position->file + " at " + position->position;
    return summary + ".";
}

int run_export(ExportJob& job, int values_are_utf8) {
    if (job.source.use_ssh && !start_job_tunnels(&job.source, nullptr)) {
        report_failure("Could not create SSH tunnel process");  // no report mail
        return 0;
    }
    SshClientStopper stop_ssh(job.source);
    ReportBody report;
    StrBuf start_time = asctime_text();
    start_report(report, ReportKind::export_job, start_time.c_str());

    DumpWriter writer(job, values_are_utf8);
    writer.set_report(&report);
    ProgressTarget target{&report, std::nullopt};
    // A stop signal cancels the dump: no later object is begun.
    int result = writer.run(on_progress, &target, &platform::stop_flag());
    end_report_work(report);
    set_job_summary(export_summary(writer));

    int success = 0;
    if (result == kDumpSucceeded) {
        success = 1;
    } else if (platform::stop_requested()) {
        // The runner reports the stop; what failed because of it is not news.
    } else if (result == kDumpFileNotOpened) {
        report_failure("Error opening export file for dump. Make sure the file or directory exists.");
    } else if (writer.last_error().empty()) {
        report_failure("Error in Connection\r\n");
    } else if (writer.last_error_reported()) {
        add_session_entry(writer.last_error().c_str());  // on the console and in the log already
    } else {
        report_failure(writer.last_error().c_str());
    }
    StrBuf end_time = asctime_text();
    send_report_if_asked(job.report, ReportKind::export_job, success, report, end_time.c_str());
    return success;
}

}  // namespace

int export_job_entry(tinyxml2::XMLDocument& doc, long, FILE*, FILE*, int values_are_utf8) {
    ExportJob job;
    int code = 0;
    StrBuf error;
    if (!read_export_job(doc, job, values_are_utf8, code, error)) {
        report_failure(error.c_str());
        return 0;
    }
    if (!validate_export_job(job)) return 0;

    std::time_t started = std::time(nullptr);
    print_job_started();
    int success = run_export(job, values_are_utf8);
    std::time_t ended = std::time(nullptr);
    print_time_taken("\r\n\r\n", static_cast<unsigned>(ended - started));
    flush_outputs();
    return success;
}

}  // namespace kro::export_

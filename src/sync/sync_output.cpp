#include "sync/sync_output.h"

#include <cstdio>
#include <cstring>

#include "common/html_text.h"
#include "report/process_state.h"
#include "report/progress_line.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::report;

namespace kro::sync {

void show_everywhere(ReportBody& report, const char* text) {
    ProgressLine::erase_live();
    std::printf("%s", text);
    report.append_text(text);
    if (log_file) std::fputs(text, log_file);
}

void show_warning(ReportBody& report, const char* text) {
    report.append_text(text);
    report.append("<br>", "\r\n");
    ProgressLine::erase_live();
    std::printf("%s", text);
    print_check_line();
    if (log_file) std::fprintf(log_file, "%s\n", text);
    flush_outputs();
}

}  // namespace kro::sync

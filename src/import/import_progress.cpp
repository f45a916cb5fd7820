#include "import/import_progress.h"

#include <cstdio>

#include "common/html_text.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::import {

namespace {

void to_all(ReportBody& body, const StrBuf& line, bool html_break) {
    print_console(line.c_str());
    body.append_text(line.view());
    if (html_break) body.append("<br>", "");
}

}  // namespace

void ImportProgress::report(int code, const std::string& text) {
    live_.reset();
    StrBuf line;
    switch (code) {
        case kSchemaStarted: line.format("Importing table schema: %s... ", text.c_str()); to_all(body_, line, false); break;
        case kForeignKeysStarted:
            line.format("Importing table foreign keys: %s... ", text.c_str());
            to_all(body_, line, false);
            break;
        case kSchemaDone: case kForeignKeysDone: line.assign("Successful...\r\n", 1); to_all(body_, line, true); break;
        case kDataStarted: line.format("Importing table data: %s... ", text.c_str()); to_all(body_, line, true); break;
        case kDataDone: line.assign("\r\nSuccessful...\r\n", 1); to_all(body_, line, true); break;
        case kRowCount: line.format("\r\n%s rows transferred!", text.c_str()); to_all(body_, line, true); break;
        case kRowsSkipped:
            // Also in the log: the run's record of what it did not write.
            line.format("\r\n%s rows skipped: their keys were in the target already!", text.c_str());
            print_and_append_log(line.c_str());
            body_.append_text(line.view());
            body_.append("<br>", "");
            break;
        case kImportFailed:
            line.format("\r\n%s: Import unsuccessful\r\n", text.c_str());
            body_.append("<br>", "");
            body_.append_text(line.view());
            body_.append("<br>", "");
            break;
        default: return;
    }
    flush_outputs();
    // While rows are read, the console line shows the table's start or the last count.
    if (code == kDataStarted || code == kRowCount) {
        const std::string_view shown = line.view();
        const std::size_t line_start = shown.rfind('\n');
        live_.emplace(std::string(line_start == std::string_view::npos ? shown : shown.substr(line_start + 1)), "rows");
    }
}

void ImportProgress::warning(const std::string& text) {
    live_.reset();
    show_warning(body_, text.c_str());
}

}  // namespace kro::import

// The import's progress lines: each code's text to the console and the report bodies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/progress_line.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::import {

enum ImportProgressCode {
    kSchemaStarted = 0,
    kSchemaDone = 1,
    kForeignKeysStarted = 2,
    kForeignKeysDone = 3,
    kDataStarted = 4,
    kDataDone = 5,
    kRowCount = 10,
    kImportFailed = 11,
    kRowsSkipped = 12,  // "noupdate": rows whose keys were in the target already
};

class ImportProgress {
public:
    explicit ImportProgress(report::ReportBody& body) : body_(body) {}
    // text: the target table name, the row count, or (code 11) a name or an error text.
    void report(int code, const std::string& text);
    void row_count(long rows) { report(kRowCount, std::to_string(rows)); }
    // A warning: console (with the log hint), log and both report bodies.
    void warning(const std::string& text);
    // The rows read so far of the table whose data is being imported, for the live
    // progress line a terminal shows after the console line's last text.
    void rows_read(std::uint64_t rows) {
        if (live_) live_->update(rows);
    }

private:
    report::ReportBody& body_;
    std::optional<report::ProgressLine> live_;
};

}  // namespace kro::import

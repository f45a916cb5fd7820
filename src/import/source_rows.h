// SourceRows: one table's (or query's) rows as the source gives them: the SELECT, the
// description of its result columns, and each row's values, read through bound buffers
// reused for every row, or column by column in chunks when the table has long columns.
// Owns its statement handle; made for one transfer and dropped after it.
#pragma once

#include <string>
#include <vector>

#include "import/odbc_handles.h"
#include "import/source_reader.h"

namespace kro::import {

class SourceRows {
public:
    // The table's columns get their display sizes and ODBC types from the result.
    SourceRows(SourceReader& source, ImportTable& table) : source_(source), table_(table) {}

    // Runs the SELECT (the query's text when one is given) and describes its result; 0
    // after a reported failure.
    int open(const std::string* query);

    enum class Next {
        row,           // values() holds the row
        end,           // no more rows
        failed,        // a value could not be read (reported)
        fetch_failed,  // the fetch itself failed; report_fetch_failure() reports it
    };
    Next next();
    void report_fetch_failure() { source_.report_diagnostic(statement_, nullptr); }
    const std::vector<FetchedValue>& values() const { return values_; }

private:
    // PostgreSQL dates and times are read as the server's own texts: its driver's
    // conversion turns BC dates into AD ones and infinities into ordinary dates.
    bool read_as_text(const ImportColumn& c) const;
    std::string select_text(const std::string* query) const;
    int describe_result();
    void bind();
    bool take_bound(std::size_t i);
    bool fetch_column(std::size_t i);

    SourceReader& source_;
    ImportTable& table_;
    OdbcHandle statement_;
    std::size_t result_columns_ = 0;
    std::vector<FetchedValue> values_;
    bool bound_ = false;
    std::vector<std::u16string> buffers_;  // bound: one per column
    std::vector<SQLLEN> lengths_;
    std::vector<char16_t> chunk_;  // column by column: one SQLGetData call's bytes
};

}  // namespace kro::import

// TableRows: one table's rows on their way from the source to the target, and what the
// import says about them. It feeds each source row to the batch being built, sends full
// batches (on a direct connection the next batch is built while the server runs the one
// before), decides on duplicate keys by the table's row conflict action, runs the source
// row action, and reports the row counts. Made for one table's transfer, then dropped.
#pragma once

#include <string>

#include "common/str_buf.h"
#include "connection/statement_outcome.h"
#include "import/import_progress.h"
#include "import/row_batch.h"
#include "import/source_reader.h"
#include "import/target_writer.h"

namespace kro::import {

class TableRows {
public:
    // counts_stopped is the job's: once a batch failed without stopping its table, row
    // counts and closing lines are left out until the job ends.
    TableRows(ImportTable& table, SourceReader& source, TargetWriter& target, ImportProgress& progress,
              bool& counts_stopped)
        : table_(table), source_(source), target_(target), progress_(progress), counts_stopped_(counts_stopped) {}

    // Copies the rows of the table (of the query when one is given) into the target
    // table database.table; 1 when every row arrived.
    int transfer(const std::string* query, std::string_view database);

private:
    int copy_rows(const std::string* query, std::string_view database);
    // Runs the batch and begins the next; false when the table stops here.
    bool run_batch(RowBatch& batch, bool report_count);
    // The same, but sent ahead when the connection allows it.
    bool send_batch(RowBatch& batch, bool report_count);
    // The answer to the batch sent ahead, if one is on its way.
    bool finish_sent();
    // What follows a batch the server ran or refused; false when the table stops here.
    bool batch_done(const connection::StatementOutcome& outcome, std::string_view statement, long rows_at,
                    bool report_count);

    ImportTable& table_;
    SourceReader& source_;
    TargetWriter& target_;
    ImportProgress& progress_;
    long rows_ = 0;  // read from the source so far
    bool& counts_stopped_;
    // Sending ahead: the batch the server may still be running.
    bool ahead_ = false;
    common::StrBuf sent_{0};
    bool in_flight_ = false;
    long sent_rows_ = 0;
};

}  // namespace kro::import

// TableRows: one table's rows on their way from the source to the target, and what the
// import says about them. It feeds each source row to the batch being built, sends full
// batches (on a direct connection the next batch is built while the server runs the one
// before), runs the source row action, and reports the row counts. A table that fails is
// taken back (or the import says how many of its rows stay). Made for one table's
// transfer, then dropped.
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
    TableRows(ImportTable& table, SourceReader& source, TargetWriter& target, ImportProgress& progress)
        : table_(table), source_(source), target_(target), progress_(progress) {}

    // Copies the rows of the table (of the query when one is given) into the target
    // table database.table; 1 when every row arrived (and was committed).
    int transfer(const std::string* query, std::string_view database);
    // Rows in the statements the target took.
    long rows_taken() const { return rows_taken_; }

private:
    int copy_rows(const std::string* query, std::string_view database);
    // Runs the batch and begins the next; false when the table stops here.
    bool run_batch(RowBatch& batch, bool report_count);
    // The same, but sent ahead when the connection allows it.
    bool send_batch(RowBatch& batch, bool report_count);
    // The answer to the batch sent ahead, if one is on its way.
    bool finish_sent();
    // What follows a batch of batch_rows rows the server ran or refused; false when the
    // table stops here.
    bool batch_done(const connection::StatementOutcome& outcome, std::string_view statement, long batch_rows,
                    bool report_count);

    ImportTable& table_;
    SourceReader& source_;
    TargetWriter& target_;
    ImportProgress& progress_;
    long rows_ = 0;        // read from the source so far
    long rows_taken_ = 0;  // in the statements the server took
    long skipped_ = 0;     // "noupdate": kept out, their keys were in the target already
    // Sending ahead: the batch the server may still be running.
    bool ahead_ = false;
    common::StrBuf sent_{0};
    bool in_flight_ = false;
    long sent_rows_ = 0;  // the rows of that batch
};

}  // namespace kro::import

#include "import/table_rows.h"

#include <algorithm>
#include <strings.h>

#include "connection/server_version.h"
#include "import/row_text.h"
#include "import/source_rows.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::report;

namespace kro::import {

namespace {

constexpr long kMaxBatchBytes = 16777216;
// ER_BAD_NULL_ERROR: also what the update of a row met on another unique key gives (see
// insert_text).
constexpr unsigned kColumnCannotBeNull = 1048;

}  // namespace

int TableRows::transfer(const std::string* query, std::string_view database) {
    const std::string db(database);
    const bool direct = !target_.is_http();
    // A table that cannot take rows back is counted first, so that a failure can say how
    // many of its rows stay.
    const bool counted = !target_.takes_back(db, table_.target_name);
    const std::uint64_t before = counted ? target_.row_count(db, table_.target_name) : 0;
    if (direct && !target_.begin_rows(!counted)) return 0;
    if (copy_rows(query, database) && (!direct || target_.commit_rows())) {
        if (skipped_ > 0) progress_.report(kRowsSkipped, std::to_string(skipped_));
        return 1;
    }
    if (direct) target_.rollback_rows();
    const std::uint64_t after = counted ? target_.row_count(db, table_.target_name) : 0;
    if (after > before) {
        StrBuf text;
        text.format("\r\n%s: the target cannot take the failed table back: it holds %llu rows more than before.",
                    target_.table().c_str(), static_cast<unsigned long long>(after - before));
        report_failure(text.c_str());
        progress_.report(kImportFailed, text.str());
    }
    return 0;
}

int TableRows::copy_rows(const std::string* query, std::string_view database) {
    SourceRows source_rows(source_, table_);
    if (!source_rows.open(query)) return 0;
    InsertText insert = insert_text(
        table_, database, updates_rows(table_) ? target_.primary_key(std::string(database), table_.target_name)
                                               : std::vector<std::string>{});
    if (insert.head.empty()) return 0;
    long limit = std::min(1024 * target_.packet_allowance(), kMaxBatchBytes);
    if (limit <= 0) limit = 1024 * 1024;
    RowBatch batch(std::move(insert), static_cast<std::size_t>(limit));
    const bool bulk = !table_.row_action.any();
    ahead_ = bulk && !target_.is_http() && target_.executes() &&
             server_at_least_4_1_0(target_.tunnel(), target_.handle());
    if (ahead_) sent_.reserve(static_cast<std::size_t>(limit) + 4096);

    RowText row_text(table_, target_, is_access_file(source_.dbms()));
    StrBuf row;
    bool ok = true;
    SourceRows::Next next;
    while ((next = source_rows.next()) == SourceRows::Next::row) {
        if (!row_text.build(source_rows.values(), row)) {
            ok = false;
            break;
        }
        ++rows_;
        progress_.rows_read(static_cast<std::uint64_t>(rows_));
        if (bulk) {
            if (batch.full_for(row.view()) && !send_batch(batch, true)) {
                ok = false;
                break;
            }
            batch.add(row.view());
        } else {
            // One row at a time, each followed by its source row action.
            batch.add(row.view());
            if (!run_batch(batch, false) || !source_.run_row_action(table_, source_rows.values())) {
                ok = false;
                break;
            }
        }
    }
    if (next == SourceRows::Next::failed) ok = false;
    if (!finish_sent()) ok = false;
    if (ok && next == SourceRows::Next::fetch_failed) {
        source_rows.report_fetch_failure();
        ok = false;
    }
    if (!ok) return 0;
    if (batch.rows() > 0) return run_batch(batch, true) ? 1 : 0;
    progress_.row_count(rows_);
    return 1;
}

bool TableRows::run_batch(RowBatch& batch, bool report_count) {
    const std::string_view statement = batch.statement();
    const bool go_on = batch_done(target_.write_rows(statement), statement, batch.rows(), report_count);
    batch.start();
    return go_on;
}

bool TableRows::send_batch(RowBatch& batch, bool report_count) {
    if (!ahead_) return run_batch(batch, report_count);
    if (!finish_sent()) return false;
    sent_rows_ = batch.rows();
    batch.hand_over(sent_);
    if (!target_.send_ahead(sent_.view())) return false;
    in_flight_ = true;
    return true;
}

bool TableRows::finish_sent() {
    if (!in_flight_) return true;
    in_flight_ = false;
    return batch_done(target_.answer_ahead(sent_.view()), sent_.view(), sent_rows_, true);
}

bool TableRows::batch_done(const StatementOutcome& outcome, std::string_view statement, long batch_rows,
                           bool report_count) {
    switch (outcome.kind) {
        case StatementOutcome::duplicate_key:
            if (strcasecmp(table_.row_conflict.c_str(), "abort") == 0) {
                StrBuf text;
                text.format("\r\n%s: Duplicate Key...Job aborted...", target_.table().c_str());
                report_failure(text.c_str());
                progress_.report(kImportFailed, text.str());
            }
            // The rows of a refused statement are not in the target: the table failed.
            return false;
        case StatementOutcome::failed:
            if (updates_rows(table_) && target_.error_number() == kColumnCannotBeNull) {
                StrBuf text;
                text.format("\r\n%s: a source row may meet a target row of another primary key on a unique key;"
                            " no target row is overwritten by another.",
                            target_.table().c_str());
                report_failure(text.c_str());
            }
            return false;
        case StatementOutcome::ok:
            if (!target_.values_kept(statement)) return false;
            target_.rows_stored();
            break;
    }
    // Rows a "noupdate" statement did not affect had their keys in the target already.
    long stored = batch_rows;
    if (keeps_rows(table_) && outcome.affected_rows < static_cast<std::uint64_t>(batch_rows))
        stored = static_cast<long>(outcome.affected_rows);
    skipped_ += batch_rows - stored;
    rows_taken_ += batch_rows;
    if (report_count || rows_taken_ % 1000 == 0) progress_.row_count(rows_taken_);
    return true;
}

}  // namespace kro::import

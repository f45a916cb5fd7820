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

}  // namespace

int TableRows::transfer(const std::string* query, std::string_view database) {
    const bool direct = !target_.is_http();
    if (direct && !target_.begin_rows()) return 0;
    // A table that fails ends its transaction too; one that succeeds fails when its commit does.
    struct RowsEnd {
        TargetWriter& target;
        bool open;
        ~RowsEnd() {
            if (open) target.end_rows();
        }
    } rows_end{target_, direct};
    if (!copy_rows(query, database)) return 0;
    if (!rows_end.open) return 1;
    rows_end.open = false;
    return target_.end_rows();
}

int TableRows::copy_rows(const std::string* query, std::string_view database) {
    SourceRows source_rows(source_, table_);
    if (!source_rows.open(query)) return 0;
    const std::string head = insert_head(table_, database);
    if (head.empty()) return 0;
    long limit = std::min(1024 * target_.packet_allowance(), kMaxBatchBytes);
    if (limit <= 0) limit = 1024 * 1024;
    RowBatch batch(head, static_cast<std::size_t>(limit));
    const bool bulk = !table_.row_action.any();
    ahead_ = bulk && !target_.is_http() && target_.executes() &&
             server_at_least_4_1_0(target_.tunnel(), target_.handle());
    if (ahead_) sent_.reserve(static_cast<std::size_t>(limit) + 4096);

    RowText row_text(table_, target_, source_.dbms() == SourceDbms::access);
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
    if (!counts_stopped_) progress_.row_count(rows_);
    return 1;
}

bool TableRows::run_batch(RowBatch& batch, bool report_count) {
    const std::string_view statement = batch.statement();
    const bool go_on = batch_done(target_.write_rows(statement), statement, rows_, report_count);
    batch.start();
    return go_on;
}

bool TableRows::send_batch(RowBatch& batch, bool report_count) {
    if (!ahead_) return run_batch(batch, report_count);
    if (!finish_sent()) return false;
    batch.hand_over(sent_);
    sent_rows_ = rows_;
    if (!target_.send_ahead(sent_.view())) return false;
    in_flight_ = true;
    return true;
}

bool TableRows::finish_sent() {
    if (!in_flight_) return true;
    in_flight_ = false;
    return batch_done(target_.answer_ahead(sent_.view()), sent_.view(), sent_rows_, true);
}

bool TableRows::batch_done(const StatementOutcome& outcome, std::string_view statement, long rows_at,
                           bool report_count) {
    switch (outcome.kind) {
        case StatementOutcome::duplicate_key:
            if (strcasecmp(table_.row_conflict.c_str(), "abort") == 0) {
                StrBuf text;
                text.format("\r\n%s: Duplicate Key...Job aborted...", target_.table().c_str());
                report_failure(text.c_str());
                progress_.report(kImportFailed, text.str());
                return false;
            }
            // Tolerated; the table's row counts stop here.
            counts_stopped_ = true;
            break;
        case StatementOutcome::failed:
            // The rows of a refused statement are not in the target: the table failed.
            return false;
        case StatementOutcome::ok:
            if (!target_.values_kept(statement)) return false;
            target_.rows_stored();
            break;
    }
    if (!counts_stopped_ && (report_count || rows_at % 1000 == 0)) progress_.row_count(rows_at);
    return true;
}

}  // namespace kro::import

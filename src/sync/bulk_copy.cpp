#include "sync/bulk_copy.h"

#include <cstdlib>

#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "sync/row_apply.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::sync {

namespace {

constexpr int kPageRows = 1000;
// A page the HTTP tunnel could not bring is asked for again this often before the copy fails.
constexpr int kPageAttempts = 3;

void set_inserting_status(SyncContext& ctx, unsigned rows) {
    ctx.set_status_count("Retrieving table data...\r\nInserting row: %d", rows);
}

class PageInserter {
public:
    PageInserter(SyncContext& ctx, Tunnel& tunnel, TunnelResult* rows) : ctx_(ctx), tunnel_(tunnel), result_(rows) {}

    // Inserts every row of the page; rows() tells how many the target took.
    int run() {
        head_.format("insert into %s(", ctx_.plan.table.c_str());
        for (std::size_t i : ctx_.plan.row_columns) {
            head_.append("`", 1);
            append_escaped_identifier(head_, ctx_.plan.columns[i].name);
            head_.append("`, ");
        }
        head_.cut_end(2);
        head_.append(") values (");
        statement_.copy_from(head_);
        StrBuf values;
        while (MYSQL_ROW row = tunnel_.fetch_row(result_)) {
            values.clear();
            if (!append_value_list(ctx_, values, row, tunnel_.fetch_lengths(result_))) return 0;
            // Sized by the escaped values, so no statement outgrows what the target takes.
            if (rows_in_statement_ > 0 && statement_.length() + values.length() + 3 >= limit()) {
                if (!close_statement()) return 0;
                set_inserting_status(ctx_, ctx_.counts.inserted + landed_);
            }
            statement_.make_room(values.length() + 3);
            statement_.append(values.view());
            statement_.append("),(");
            ++rows_in_statement_;
        }
        if (!tunnel_.is_http() && tunnel_.error_number(ctx_.source().handle()) != 0) {
            // The stream broke off: the rows that did not come were not copied.
            ctx_.report_error(ctx_.source());
            return 0;
        }
        if (rows_in_statement_ > 0 && !close_statement()) return 0;
        set_inserting_status(ctx_, ctx_.counts.inserted + landed_);
        return 1;
    }

    unsigned rows() const { return landed_; }

private:
    std::size_t limit() const { return static_cast<std::size_t>(ctx_.byte_limit > 0 ? ctx_.byte_limit : 1048576); }

    // Ends the statement with ")" and hands it on; the next one starts afresh.
    int close_statement() {
        statement_.cut_end(2);
        const ExpectedRows expected{rows_in_statement_, "the rows being copied"};
        const int ok = apply_statement(ctx_, ctx_.target(), statement_, &expected);
        if (ok) landed_ += rows_in_statement_;
        rows_in_statement_ = 0;
        statement_.copy_from(head_);
        return ok;
    }

    SyncContext& ctx_;
    Tunnel& tunnel_;
    TunnelResult* result_;
    StrBuf head_;
    StrBuf statement_{0};
    unsigned landed_ = 0;  // rows of the statements the target took
    unsigned rows_in_statement_ = 0;
};

int insert_page(SyncContext& ctx, Tunnel& tunnel, TunnelResult* rows, unsigned& copied) {
    PageInserter page(ctx, tunnel, rows);
    int ok = page.run();
    copied = page.rows();
    return ok;
}

std::uint64_t source_row_count(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    StrBuf statement;
    statement.format("select count(*)from `%s`.%s%s%s", escape_identifier(source.database).c_str(),
                     ctx.plan.table.c_str(), ctx.plan.filter ? " where " : "", ctx.plan.filter ? ctx.plan.filter->c_str() : "");
    ResultPtr result = query_side(source, statement.c_str());
    MYSQL_ROW row = result ? source.tunnel().fetch_row(result.get()) : nullptr;
    return row && row[0] ? std::strtoull(row[0], nullptr, 10) : 0;
}

// Through the HTTP tunnel a result arrives whole: the rows come in pages of 1000.
int copy_in_pages(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    const std::uint64_t total = source_row_count(ctx);
    StrBuf statement;
    for (std::uint64_t offset = 0; offset < total; offset += kPageRows) {
        statement.format("select %s from %s%s%s limit %llu, %d", ctx.plan.row_select.c_str(), ctx.plan.table.c_str(),
                         ctx.plan.filter ? " where " : "",
                         ctx.plan.filter ? ctx.plan.filter->c_str() : "", static_cast<unsigned long long>(offset), kPageRows);
        ResultPtr page = make_result(source.tunnel(), nullptr);
        for (int attempt = 0; attempt < kPageAttempts && !page; ++attempt) {
            ctx.set_status("Retrieving table data...");
            page = query_side(source, statement.c_str());
        }
        if (!page) {
            ctx.report_error(source);
            return 0;
        }
        unsigned copied = 0;
        int ok = insert_page(ctx, source.tunnel(), page.get(), copied);
        ctx.counts.inserted += copied;
        if (!ok) return 0;
    }
    return 1;
}

}  // namespace

int copy_all_rows(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    int ok;
    if (source.is_http()) {
        ok = copy_in_pages(ctx);
    } else {
        // Streamed: a table of any size passes through a statement's worth of memory.
        StrBuf statement;
        statement.format("select %s from %s %s %s", ctx.plan.row_select.c_str(), ctx.plan.table.c_str(),
                         ctx.plan.filter ? "where" : "",
                         ctx.plan.filter ? ctx.plan.filter->c_str() : "");
        ctx.set_status("Retrieving table data...");
        ResultPtr rows = query_result(source.tunnel(), source.handle(), statement.c_str());
        if (!rows) {
            ctx.report_error(source);
            return 0;
        }
        unsigned copied = 0;
        ok = insert_page(ctx, source.tunnel(), rows.get(), copied);
        ctx.counts.inserted += copied;
    }
    ctx.set_status("");
    return ok;
}

}  // namespace kro::sync

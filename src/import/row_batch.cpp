#include "import/row_batch.h"

#include <strings.h>
#include <utility>

#include "connection/sql_quote.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::import {

namespace {

// Between two value lists, and the end of the last one.
constexpr std::string_view kNextRow = "),(";
constexpr std::string_view kEnd = ")";

}  // namespace

std::string insert_head(const ImportTable& table, std::string_view database) {
    std::string columns;
    for (const ImportColumn& c : table.columns) {
        if (!columns.empty()) columns += " ,";
        columns += backquoted(c.target_name);
    }
    if (columns.empty()) return {};
    const char* verb = "INSERT INTO";
    if (strcasecmp(table.row_conflict.c_str(), "update") == 0) verb = "REPLACE INTO";
    else if (strcasecmp(table.row_conflict.c_str(), "noupdate") == 0 &&
             strcasecmp(table.table_conflict.c_str(), "import") == 0)
        verb = "INSERT IGNORE INTO";
    StrBuf head;
    head.format("%s `%s`.`%s` (%s) VALUES (", verb, escape_identifier(database).c_str(),
                escape_identifier(table.target_name).c_str(), columns.c_str());
    return head.str();
}

RowBatch::RowBatch(std::string head, std::size_t limit) : head_(std::move(head)), limit_(limit), text_(limit + 4096) {
    start();
}

bool RowBatch::full_for(std::string_view values) const {
    return rows_ > 0 && limit_ < text_.length() + kNextRow.size() + values.size();
}

void RowBatch::add(std::string_view values) {
    if (rows_ > 0) text_.append(kNextRow);
    text_.append(values);
    ++rows_;
}

std::string_view RowBatch::statement() {
    text_.append(kEnd);
    return text_.view();
}

void RowBatch::hand_over(StrBuf& text) {
    text_.append(kEnd);
    std::swap(text_, text);
    start();
}

void RowBatch::start() {
    text_.clear();
    text_.append(head_);
    rows_ = 0;
}

}  // namespace kro::import

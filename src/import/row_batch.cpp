#include "import/row_batch.h"

#include <algorithm>
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

bool action_is(const ImportTable& table, const char* action) {
    return strcasecmp(table.row_conflict.c_str(), action) == 0;
}

// `c` = VALUES(`c`) for each column but the key's; the key's columns first, guarded.
std::string update_clause(const ImportTable& table, const std::vector<std::string>& primary_key) {
    std::string clause;
    if (!primary_key.empty()) {
        // All assignments see the key's old values only when the guard comes first.
        std::string same;
        for (const std::string& k : primary_key) {
            if (!same.empty()) same += " AND ";
            same += backquoted(k) + " <=> VALUES(" + backquoted(k) + ")";
        }
        const std::string first = backquoted(primary_key.front());
        clause = first + " = IF(" + same + ", " + first + ", NULL)";
    }
    for (const ImportColumn& c : table.columns) {
        if (std::find(primary_key.begin(), primary_key.end(), c.target_name) != primary_key.end()) continue;
        if (!clause.empty()) clause += ", ";
        clause += backquoted(c.target_name) + " = VALUES(" + backquoted(c.target_name) + ")";
    }
    return clause;
}

}  // namespace

bool updates_rows(const ImportTable& table) { return action_is(table, "update"); }
bool keeps_rows(const ImportTable& table) { return action_is(table, "noupdate"); }

InsertText insert_text(const ImportTable& table, std::string_view database,
                       const std::vector<std::string>& primary_key) {
    std::string columns;
    for (const ImportColumn& c : table.columns) {
        if (!columns.empty()) columns += " ,";
        columns += backquoted(c.target_name);
    }
    if (columns.empty()) return {};
    InsertText text;
    StrBuf head;
    head.format("INSERT INTO `%s`.`%s` (%s) VALUES (", escape_identifier(database).c_str(),
                escape_identifier(table.target_name).c_str(), columns.c_str());
    text.head = head.str();
    const std::string first = backquoted(table.columns.front().target_name);
    // An assignment that changes nothing leaves the row as it was and counts it as not
    // affected; unlike INSERT IGNORE it turns no other error into a warning.
    if (keeps_rows(table)) text.tail = " ON DUPLICATE KEY UPDATE " + first + " = " + first;
    else if (updates_rows(table)) text.tail = " ON DUPLICATE KEY UPDATE " + update_clause(table, primary_key);
    return text;
}

RowBatch::RowBatch(InsertText text, std::size_t limit)
    : parts_(std::move(text)), limit_(limit), text_(limit + parts_.tail.size() + 4096) {
    start();
}

bool RowBatch::full_for(std::string_view values) const {
    return rows_ > 0 && limit_ < text_.length() + kNextRow.size() + values.size() + kEnd.size() + parts_.tail.size();
}

void RowBatch::add(std::string_view values) {
    if (rows_ > 0) text_.append(kNextRow);
    text_.append(values);
    ++rows_;
}

void RowBatch::finish() {
    text_.append(kEnd);
    text_.append(parts_.tail);
}

std::string_view RowBatch::statement() {
    finish();
    return text_.view();
}

void RowBatch::hand_over(StrBuf& text) {
    finish();
    std::swap(text_, text);
    start();
}

void RowBatch::start() {
    text_.clear();
    text_.append(parts_.head);
    rows_ = 0;
}

}  // namespace kro::import

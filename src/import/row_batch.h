// RowBatch: the INSERT statement being built for one table: its head, then one value list
// after another, then what the table's row conflict action adds, kept under a byte limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/str_buf.h"
#include "import/import_settings.h"

namespace kro::import {

// The parts of a row statement around its value lists.
struct InsertText {
    std::string head;  // up to the first value list: "INSERT INTO `db`.`t` (...) VALUES ("
    std::string tail;  // after the last one: the ON DUPLICATE KEY clause, if any
};

// The INSERT for the table's columns; empty head when the table has no columns.
// A row whose key is in the target already: with the row conflict action "noupdate" the
// target's row stays and the statement counts it as not affected; with "update" the
// target's row takes the source's values in place (never deleted and inserted again, as
// REPLACE would, taking along rows that only share another unique key). primary_key: the
// target table's primary-key columns; an update that would give a target row another
// primary key (the rows met on another unique key) sets it NULL, which the server refuses,
// so that the statement fails instead of merging two rows. Any other action inserts
// plainly, and a duplicate key fails the statement.
InsertText insert_text(const ImportTable& table, std::string_view database,
                       const std::vector<std::string>& primary_key);

// Does the row conflict action write rows whose keys are in the target already?
bool updates_rows(const ImportTable& table);
// Does it keep the target's rows and skip the source's?
bool keeps_rows(const ImportTable& table);

class RowBatch {
public:
    RowBatch(InsertText text, std::size_t limit);

    // Would the value list take a statement that already holds rows beyond the limit?
    bool full_for(std::string_view values) const;
    void add(std::string_view values);
    long rows() const { return rows_; }
    // The complete statement; start() begins the next one.
    std::string_view statement();
    // Hands the complete statement over in text (taking text's buffer in exchange) and
    // begins the next one.
    void hand_over(common::StrBuf& text);
    void start();

private:
    void finish();

    InsertText parts_;
    std::size_t limit_;
    common::StrBuf text_;
    long rows_ = 0;
};

}  // namespace kro::import

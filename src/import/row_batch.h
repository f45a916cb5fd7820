// RowBatch: the INSERT (INSERT IGNORE, REPLACE) statement being built for one table: its
// head, then one value list after another, kept under a byte limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/str_buf.h"
#include "import/import_settings.h"

namespace kro::import {

// The statement head up to the first value list: the verb the table's row conflict action
// asks for, the target table and its columns. Empty when the table has no columns.
std::string insert_head(const ImportTable& table, std::string_view database);

class RowBatch {
public:
    RowBatch(std::string head, std::size_t limit);

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
    std::string head_;
    std::size_t limit_;
    common::StrBuf text_;
    long rows_ = 0;
};

}  // namespace kro::import

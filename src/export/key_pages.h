// Reading a table in pages along a unique key: each page starts after the last key of the
// page before ("where key > last order by key limit n"). Unlike "limit offset, n" this
// skips no row when rows before the offset go away during the dump, and each page costs
// the same however far into the table it lies.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/str_buf.h"
#include "connection/column_definition.h"
#include "export/insert_writer.h"

namespace kro::export_ {

// How a key value is written back into the WHERE clause. none: a column whose text does
// not give back its value, or whose type sorts otherwise than its text compares (FLOAT,
// ENUM, SET, BIT...), so its key cannot page.
enum class KeyLiteral { none, number, text, bytes };

KeyLiteral key_literal_for(const connection::ColumnDefinition& column);

struct KeyColumn {
    std::string name;
    KeyLiteral literal = KeyLiteral::none;
};

// The value as SQL: a number as it is, bytes as X'hex', text in quotes escaped by escape
// (empty when the escape fails).
std::string key_value_literal(KeyLiteral literal, std::string_view value, connection::EscapeFn escape, void* context);

// "`a`,`b`" for ORDER BY.
std::string key_order(const std::vector<KeyColumn>& key);

// " where `a` > 1 or (`a` = 1 and `b` > 'x')": the rows after the key whose values (SQL
// literals, one per key column) are given.
void append_after_key(common::StrBuf& statement, const std::vector<KeyColumn>& key,
                      const std::vector<std::string>& literals);

}  // namespace kro::export_

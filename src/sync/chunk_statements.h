// The statements of a chunk comparison: the per-chunk checksum (a row count and a
// 64-bit number folded from each row's MD5 on the server) and the row statements of
// a differing chunk, for each side and each way of cutting chunks. The source reads with
// LOCK IN SHARE MODE and honours the table's filter; the target reads FOR UPDATE and never
// gets the filter.
#pragma once

#include <string>
#include <vector>

namespace kro::sync {

struct ChunkTable {
    std::string name;                 // as written into SQL
    std::string checksum_expression;  // the list inside MD5(CONCAT_WS('#', ...))
    std::string all_columns;          // the source rows' select list: the row columns, in order
    std::string filter;               // empty: none
};

// sort_columns: extra columns after "__crc" that give the server's sort key where the
// key's own text does not sort as the server does (", expr AS `__k0`..."), the same on both
// sides; empty when none are needed.

// only: a further condition on the source rows (empty: every row of the chunk).

// Key ranges: where is the chunk's range condition.
std::string range_checksum_source(int chunk, const ChunkTable& table, const std::string& where);
std::string range_checksum_target(int chunk, const ChunkTable& table, const std::string& where);
std::string range_rows_source(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& sort_columns, const std::string& only = {});
// key_select: the key as the target selects it ("`key`", or a FLOAT key as its DOUBLE).
std::string range_rows_target(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& key_select, const std::string& sort_columns);

// Key order: where is the chunk's full WHERE clause, order_by its "ORDER BY ..." list,
// key_list the key columns as the target selects them, joined by commas.
std::string order_checksum_source(int chunk, const ChunkTable& table, const std::string& where);
std::string order_checksum_target(int chunk, const ChunkTable& table, const std::string& where);
std::string order_rows_source(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& sort_columns, const std::string& only = {});
std::string order_rows_target(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& key_list, const std::string& sort_columns);

// The source's key columns and digests of a chunk, laid out as the target's row statement:
// the merge needs no more, and only the rows it finds to write are then read whole.
std::string range_keys_source(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& key_select, const std::string& sort_columns);
std::string order_keys_source(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& key_list, const std::string& sort_columns);

// "ORDER BY `a` ASC,`b` ASC" for the key columns (names as the server gave them).
std::string order_by_list(const std::vector<std::string>& key_names);

}  // namespace kro::sync

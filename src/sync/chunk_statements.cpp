#include "sync/chunk_statements.h"

#include "connection/sql_quote.h"

using namespace kro::connection;

namespace kro::sync {

namespace {

// A row's digest: the first 64 bits of the MD5 of its values, as 16 hex digits; plenty to
// tell a changed row, and half the bytes of the whole MD5 to send for each row read.
std::string row_digest(const ChunkTable& table) {
    return "LEFT(MD5(CONCAT_WS('#', " + table.checksum_expression + ")), 16)";
}

constexpr const char* source_lock = "LOCK IN SHARE MODE";
constexpr const char* target_lock = "FOR UPDATE";

// The chunk's row count and its rows' digests folded with BIT_XOR.
std::string checksum_statement(int chunk, const ChunkTable& table) {
    return "SELECT " + std::to_string(chunk) + " AS chunk_num, COUNT(*) AS cnt, BIT_XOR(CAST(CONV(" +
           row_digest(table) + ", 16, 10) AS UNSIGNED)) AS crc FROM " + table.name;
}

std::string digest(const ChunkTable& table) { return row_digest(table) + " AS __crc"; }

std::string and_only(const std::string& only) { return only.empty() ? "" : " AND " + only; }

// A source read of the chunk's rows: select list, range, filter, order and lock.
std::string source_read(const ChunkTable& table, const std::string& select, const std::string& where,
                        const std::string& order_by) {
    std::string text = "SELECT " + select + " FROM " + table.name + " " + where;
    if (!table.filter.empty()) text += " AND (" + table.filter + ")";
    return text + " " + order_by + " " + source_lock;
}

}  // namespace

std::string range_checksum_source(int chunk, const ChunkTable& table, const std::string& where) {
    std::string text = checksum_statement(chunk, table) + " " + where;
    if (!table.filter.empty()) text += " and (" + table.filter + ")";
    return text + " " + source_lock;
}

std::string range_checksum_target(int chunk, const ChunkTable& table, const std::string& where) {
    return checksum_statement(chunk, table) + " " + where + " " + target_lock;
}

std::string range_rows_source(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& sort_columns, const std::string& only) {
    std::string text = "SELECT " + table.all_columns + ", " + digest(table) + sort_columns +
                       " \t\t\t\t\t\t\t  FROM " + table.name + " " + where + and_only(only);
    if (!table.filter.empty()) text += " AND (" + table.filter + ")";
    return text + " ORDER BY " + backquoted(key) + " " + source_lock;
}

std::string range_rows_target(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& key_select, const std::string& sort_columns) {
    return "SELECT " + key_select + ", " + digest(table) + sort_columns + " \t\t\t\t\t\t\t\t\t  FROM " +
           table.name + " " + where + "  ORDER BY " + backquoted(key) + " " + target_lock;
}

std::string order_checksum_source(int chunk, const ChunkTable& table, const std::string& where) {
    std::string statement = checksum_statement(chunk, table) + " " + where + " ";
    if (table.filter.empty()) return " " + statement + " " + source_lock + " ";
    return " " + statement + " AND(" + table.filter + ") " + source_lock + "  ";
}

std::string order_checksum_target(int chunk, const ChunkTable& table, const std::string& where) {
    return checksum_statement(chunk, table) + " " + where + "  " + target_lock;
}

std::string order_rows_source(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& sort_columns, const std::string& only) {
    std::string text = "SELECT " + table.all_columns + ", " + digest(table) + sort_columns +
                       " \t\t\t\t\t\t\t FROM " + table.name + " " + where + and_only(only);
    text += table.filter.empty() ? " " : " AND (" + table.filter + ") ";
    return text + " " + order_by + " " + source_lock;
}

std::string order_rows_target(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& key_list, const std::string& sort_columns) {
    return "SELECT " + key_list + ", " + digest(table) + sort_columns + " \t\t\t\t\t\t\t\t   FROM " +
           table.name + " " + where + " " + order_by + " " + target_lock;
}

std::string range_keys_source(const ChunkTable& table, const std::string& where, const std::string& key,
                              const std::string& key_select, const std::string& sort_columns) {
    return source_read(table, key_select + ", " + digest(table) + sort_columns, where, "ORDER BY " + backquoted(key));
}

std::string order_keys_source(const ChunkTable& table, const std::string& where, const std::string& order_by,
                              const std::string& key_list, const std::string& sort_columns) {
    return source_read(table, key_list + ", " + digest(table) + sort_columns, where, order_by);
}

std::string order_by_list(const std::vector<std::string>& key_names) {
    std::string text = "ORDER BY ";
    for (std::size_t i = 0; i < key_names.size(); ++i) {
        if (i) text += ',';
        text += backquoted(key_names[i]) + " ASC";
    }
    return text;
}

}  // namespace kro::sync

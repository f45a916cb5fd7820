// The schema builder: how the source's description of a table (its columns as the catalog
// or a result describes them, its primary key and indexes) becomes the target's columns
// and its CREATE TABLE statement. Pure functions: no server, no ODBC handle.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "import/import_settings.h"
#include "import/type_mapping.h"

namespace kro::import {

struct IndexColumn {
    std::string name;   // the target column's name
    std::string order;  // " ASC " or " DESC "
};
struct IndexDef {
    std::string name;
    bool unique = false;
    std::vector<IndexColumn> columns;
};

// A table's keys as the source gives them, in target column names.
struct TableKeys {
    std::vector<std::string> primary;  // in key order
    std::vector<IndexDef> indexes;
    const char* unique_word = "UNIQUE";  // indexes read by name (Access) write "unique"
};

// What the statement depends on in the target.
struct TargetFacts {
    std::string database;
    bool server_4_1 = true;  // "Engine=" and a default character set; else "Type="
    bool utf8mb4 = true;     // the default character set is utf8mb4, else utf8
    // A text as it goes between the quotes of a string literal (comments).
    std::function<std::string(const std::string&)> escape;
};

// The target columns of the described source columns, in their order; sets
// table.has_long_columns for character, text and binary columns. server_5: the target
// is MySQL 5.0.0 or later.
void map_source_columns(const std::vector<CatalogColumn>& source, SourceDbms dbms, bool server_5,
                        ImportTable& table);

// Leaves out the keys over a column the table does not have (a query, or a job file's
// column list, need not hold every key column of the source table): the primary key
// whole, an index whole.
void keep_keys_of_columns(const ImportTable& table, TableKeys& keys);

// CREATE TABLE for the table's columns and keys (the job file's own statement when it
// gives one). A unique index over exactly the primary key's columns is the source's own
// primary key index and is left out.
std::string create_table_text(const ImportTable& table, const TableKeys& keys, const TargetFacts& target);

}  // namespace kro::import

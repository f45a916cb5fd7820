// An Access file's own definition of a table (Jet 4 and ACE files), read from the file:
// the indexes and AutoNumber columns, which the MDB Tools driver does not tell.
#pragma once

#include <string>
#include <vector>

namespace kro::import {

struct AccessIndexColumn {
    std::string column;
    bool descending = false;
};

struct AccessIndex {
    std::string name;
    bool primary = false;
    bool unique = false;
    std::vector<AccessIndexColumn> columns;
};

struct AccessTableDefinition {
    std::vector<std::string> auto_numbers;  // columns of AutoNumber (Long Integer) type
    std::vector<AccessIndex> indexes;       // in the file's order; a relationship's own entry left out
};

// Reads the table definition that starts on the given page (the low 24 bits of the table's
// MSysObjects.Id). false when the file is not a Jet 4 or ACE file or the definition is not
// whole.
bool read_access_table_definition(const std::string& path, long page, AccessTableDefinition& out);

}  // namespace kro::import

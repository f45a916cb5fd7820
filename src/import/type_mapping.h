// How a source column, as the ODBC catalog describes it, becomes a MySQL column.
#pragma once

#include <string>
#include <vector>

#include "import/import_settings.h"

namespace kro::import {

// The kind of source, from its DBMS name; it changes the mapping and some catalog readings.
// mdb_tools: an Access file read through the MDB Tools driver, whose catalogue answers
// are described from the file itself (see source_catalog.cpp).
enum class SourceDbms { access, sql_server, excel, four_d, postgresql, mdb_tools, other };

// Upper-cased DBMS name to kind, by the first name found: ACCESS, MICROSOFT SQL SERVER,
// EXCEL, 4D, POSTGRESQL, MDBTOOLS.
SourceDbms dbms_kind(const std::string& upper_name);

struct CatalogColumn {
    std::string name;
    int odbc_type = 0;
    long size = 0;
    int digits = 0;
    bool no_nulls = false;
    std::string remarks;
    std::string default_value;
    bool is_unsigned = false;  // the driver's unsigned flag of the result column
    bool auto_unique = false;  // the driver's auto-unique (auto-increment) flag
    // MDB Tools: the Access type as the driver names it (BOOL, BYTE, INT, LONGINT, MONEY,
    // FLOAT, DOUBLE, DATETIME, TEXT, MEMO, OLE, REPID, NUMERIC), with size in characters
    // for TEXT; empty for other sources.
    std::string access_type;
};

// Is the source an Access file (its GUIDs are written in braces)?
inline bool is_access_file(SourceDbms dbms) { return dbms == SourceDbms::access || dbms == SourceDbms::mdb_tools; }

// Fills column (type, length, flags, comment, default, names) from the catalog's
// description; sets table.has_long_columns for character, text and binary columns.
// server_5: the target is MySQL 5.0.0 or later.
void map_column(const CatalogColumn& in, SourceDbms dbms, bool server_5, ImportColumn& column,
                ImportTable& table);

// A key over a TEXT column cannot be made: each such column of the key (target names)
// becomes a VARCHAR as long as the index allows, the key's text columns sharing what its
// other columns leave. A longer value then fails its table instead of being cut.
void fit_key_columns(ImportTable& table, const std::vector<std::string>& key);

// Date and time columns, by their target type.
bool is_temporal_type(const std::string& type);
// A date or time the target column cannot hold as the source meant it (a BC date, an
// infinity) gives false; a "+00" zone (UTC, the source session's zone) is dropped.
bool exact_temporal_text(std::string& text);

// Sets the column's default from a default text. Plain numbers and string literals are
// carried (a cast to a source type dropped), the current time on a date-time column too;
// NULL and the empty string are no default. Any other expression is left out: the target
// could not run it (nextval('s'), getdate() on a date). from_catalog false: the job file's
// text, which on a column that is not numeric is the string itself. Needs the column's
// type and numeric flag.
void set_column_default(ImportColumn& column, const std::string& text, bool from_catalog);

}  // namespace kro::import

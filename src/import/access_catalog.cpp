// What an Access file read through MDB Tools says of a table beyond the driver's answers:
// its required columns (the file's column properties) and its own table definition.
#include <strings.h>

#include "import/access_file.h"
#include "import/access_properties.h"
#include "import/source_reader.h"

namespace kro::import {

int SourceReader::read_required_columns(const std::string& table, std::vector<CatalogColumn>& columns) {
    if (table.find('\'') != std::string::npos) return 0;  // its SQL has no way to quote one
    OdbcHandle h;
    if (!h.allocate(SQL_HANDLE_STMT, dbc_.get())) return 0;
    WideText text("SELECT LvProp FROM MSysObjects WHERE Name = '" + table + "' AND Type = 1");
    if (!odbc_ok(SQLExecDirectW(h.get(), text.get(), text.long_length())) || !odbc_ok(SQLFetch(h.get()))) return 0;
    std::string block;
    std::vector<char> piece(65536);
    for (;;) {
        SQLLEN raw = 0;
        const SQLRETURN r = SQLGetData(h.get(), 1, SQL_C_BINARY, piece.data(), static_cast<SQLLEN>(piece.size()), &raw);
        const SQLLEN length = indicator_of(raw);
        if (!odbc_ok(r) || length == SQL_NULL_DATA) break;
        block.append(piece.data(), length < 0 || length > static_cast<SQLLEN>(piece.size())
                                       ? piece.size() : static_cast<std::size_t>(length));
        if (r == SQL_SUCCESS) break;
    }
    std::vector<CatalogColumn*> required;
    for (const std::string& name : access_required_columns(block))
        for (CatalogColumn& c : columns)
            if (strcasecmp(c.name.c_str(), name.c_str()) == 0) required.push_back(&c);
    if (required.empty()) return 1;
    // Access checks the rule only for rows written after it was set: a column that holds
    // NULL all the same stays nullable, or its rows could not arrive.
    std::string select;
    for (const CatalogColumn* c : required) select += (select.empty() ? "SELECT " : ", ") + quoted(c->name);
    select += " FROM " + quoted(table);
    h.reset();
    if (!h.allocate(SQL_HANDLE_STMT, dbc_.get())) return 0;
    WideText scan(select);
    if (!odbc_ok(SQLExecDirectW(h.get(), scan.get(), scan.long_length()))) return 0;
    std::vector<bool> has_null(required.size(), false);
    while (odbc_ok(SQLFetch(h.get()))) {
        for (std::size_t i = 0; i < required.size(); ++i) {
            SQLLEN raw = 0;
            const SQLRETURN r = SQLGetData(h.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_C_WCHAR, piece.data(),
                                           static_cast<SQLLEN>(piece.size()), &raw);
            if (odbc_ok(r) && is_null_indicator(raw)) has_null[i] = true;
        }
    }
    for (std::size_t i = 0; i < required.size(); ++i) {
        if (!has_null[i]) {
            required[i]->no_nulls = true;
            continue;
        }
        progress_.warning("WARNING : Column `" + required[i]->name + "` of table " + table +
                          " is required in the Access file, yet rows hold no value there: it is created to allow"
                          " NULL.\r\n");
    }
    return 1;
}

int SourceReader::read_access_definition(const std::string& table, std::vector<CatalogColumn>& columns) {
    access_definition_table_.clear();
    access_definition_ = AccessTableDefinition{};
    if (access_path_.empty() || table.find('\'') != std::string::npos) return 0;
    OdbcHandle h;
    if (!h.allocate(SQL_HANDLE_STMT, dbc_.get())) return 0;
    WideText text("SELECT Id FROM MSysObjects WHERE Name = '" + table + "' AND Type = 1");
    SQLINTEGER id = 0;
    SQLLEN indicator = 0;
    if (!odbc_ok(SQLExecDirectW(h.get(), text.get(), text.long_length())) || !odbc_ok(SQLFetch(h.get())) ||
        !odbc_ok(SQLGetData(h.get(), 1, SQL_C_SLONG, &id, 0, &indicator)) || is_null_indicator(indicator))
        return 0;
    // The table's definition page is the low 24 bits of its object id.
    if (!read_access_table_definition(access_path_, static_cast<long>(id & 0xFFFFFF), access_definition_)) return 0;
    access_definition_table_ = table;
    for (const std::string& name : access_definition_.auto_numbers)
        for (CatalogColumn& c : columns)
            if (strcasecmp(c.name.c_str(), name.c_str()) == 0 && c.access_type == "LONGINT") c.auto_unique = true;
    return 1;
}

}  // namespace kro::import

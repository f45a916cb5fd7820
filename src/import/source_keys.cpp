// The source's keys: primary keys, indexes and foreign keys, in target column names.
#include <algorithm>
#include <strings.h>
#include <vector>

#include "connection/sql_quote.h"
#include "import/source_reader.h"

using namespace kro::connection;

namespace kro::import {

namespace {

constexpr char kNotSupported[] = "IM001";  // the driver does not offer the function

const char* rule_text(SQLSMALLINT rule) {
    switch (rule) {
        case SQL_CASCADE: return " CASCADE ";
        case SQL_SET_NULL: return " SET NULL ";
        case SQL_NO_ACTION: return " NO ACTION ";
        default: return " RESTRICT ";
    }
}

void append_listed(std::string& list, const std::string& item) {
    if (!list.empty()) list += ",";
    list += item;
}

// A source column's target name: the job file's name for it, when it gives the columns.
std::string target_column_name(const ImportTable& table, const std::string& source_name) {
    if (table.source_defined_columns) return source_name;
    for (const ImportColumn& c : table.columns)
        if (strcasecmp(c.source_name.c_str(), source_name.c_str()) == 0) return c.target_name;
    return source_name;
}

}  // namespace

void SourceReader::keys_from_job_file(const ImportTable& table, TableKeys& keys) {
    keys = TableKeys{};
    for (const ImportColumn& c : table.columns)
        if (c.primary) keys.primary.push_back(c.target_name);
    if (!table.create_indexes) return;
    if (dbms_ == SourceDbms::mdb_tools) {
        std::vector<CatalogColumn> none;
        if (read_access_definition(table.source_name, none)) keys_from_access_definition(table, false, keys);
        return;
    }
    if (dbms_ == SourceDbms::access) read_indexes_by_name(table, true, keys);
    else read_statistics(table, keys);
}

void SourceReader::keys_from_access_definition(const ImportTable& table, bool with_primary, TableKeys& keys) {
    if (access_definition_table_ != table.source_name) return;
    for (const AccessIndex& index : access_definition_.indexes) {
        if (index.primary && with_primary && keys.primary.empty()) {
            for (const AccessIndexColumn& c : index.columns) keys.primary.push_back(target_column_name(table, c.column));
            continue;
        }
        if (index.primary && keys.primary.empty()) continue;  // the job file's columns name their own
        if (!table.create_indexes) continue;
        IndexDef def;
        def.name = index.name;
        def.unique = index.unique;
        for (const AccessIndexColumn& c : index.columns)
            def.columns.push_back({target_column_name(table, c.column), c.descending ? " DESC " : " ASC "});
        keys.indexes.push_back(std::move(def));
    }
}

int SourceReader::keys_from_catalog(ImportTable& table, TableKeys& keys) {
    if (dbms_ == SourceDbms::mdb_tools) {
        // Its driver answers with no keys: the file's own definition gives them.
        keys = TableKeys{};
        keys_from_access_definition(table, true, keys);
        for (ImportColumn& c : table.columns)
            if (std::find(keys.primary.begin(), keys.primary.end(), c.target_name) != keys.primary.end()) c.primary = true;
        return 1;
    }
    keys = TableKeys{};
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLPrimaryKeysW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length()))) {
        if (diagnostic_state(h) == kNotSupported) return read_indexes_by_name(table, false, keys);
        report_diagnostic(h, nullptr);
        return 0;
    }
    WideAnswer<512> column;
    SQLLEN indicator = 0;
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, column.get(), column.bytes(), &indicator);
    SQLRETURN r = SQL_NO_DATA;
    for (bool rows = has_result(h); rows;) {
        column.clear();
        if (!odbc_ok(r = SQLFetch(h.get()))) break;
        const std::string name = target_column_name(table, column.text());
        keys.primary.push_back(name);
        // The row action finds a source row by these columns.
        for (ImportColumn& c : table.columns)
            if (c.target_name == name) c.primary = true;
    }
    if (r != SQL_NO_DATA) report_diagnostic(h, nullptr);
    h.reset();
    if (!table.create_indexes) return 1;
    return dbms_ == SourceDbms::access ? read_indexes_by_name(table, true, keys) : read_statistics(table, keys);
}

// The statistics rows of the source table, one index after another; name_based: the
// Access form (no schema, the first row always skipped, primary keys by index name).
// 0 when the call failed; a driver that does not offer it gives no indexes.
int SourceReader::fetch_indexes(const ImportTable& table, bool name_based, std::vector<IndexDef>& indexes,
                                std::vector<std::string>* primary_columns, OdbcHandle& h) {
    if (!h.allocate(SQL_HANDLE_STMT, dbc_.get())) return 0;
    WideText schema(name_based ? std::string() : table.schema), name(table.source_name);
    if (!odbc_ok(SQLStatisticsW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length(),
                                SQL_INDEX_ALL, SQL_QUICK)))
        return diagnostic_state(h) == kNotSupported ? 1 : 0;
    SQLSMALLINT non_unique = 0, ordinal = 0;
    WideAnswer<128> index_name, column, order;
    SQLLEN ind[5] = {};
    SQLBindCol(h.get(), 4, SQL_C_SSHORT, &non_unique, 0, &ind[0]);
    SQLBindCol(h.get(), 6, SQL_C_WCHAR, index_name.get(), index_name.bytes(), &ind[1]);
    SQLBindCol(h.get(), 8, SQL_C_SSHORT, &ordinal, 0, &ind[2]);
    SQLBindCol(h.get(), 9, SQL_C_WCHAR, column.get(), column.bytes(), &ind[3]);
    SQLBindCol(h.get(), 10, SQL_C_WCHAR, order.get(), order.bytes(), &ind[4]);
    bool first_row = true;
    std::string last_index, last_column;
    for (bool rows = has_result(h); rows;) {
        index_name.clear();
        column.clear();
        order.clear();
        for (SQLLEN& i : ind) i = 0;
        if (!odbc_ok(SQLFetch(h.get()))) break;
        const std::string index = is_null_indicator(ind[1]) ? "" : index_name.text();
        const std::string col = is_null_indicator(ind[3]) ? "" : column.text();
        const bool was_first = first_row;
        first_row = false;
        if (col.empty() || (name_based && was_first)) continue;  // the table's statistics row
        if (strcasecmp(index.c_str(), "Primary") == 0) continue;
        if (strcasecmp(index.c_str(), last_index.c_str()) == 0 && strcasecmp(col.c_str(), last_column.c_str()) == 0)
            continue;
        if (col[0] == '"' && col.find('.') != std::string::npos) continue;  // an expression
        last_index = index;
        last_column = col;
        if (name_based && (strcasecmp(index.c_str(), "PrimaryKey") == 0 || strncasecmp(index.c_str(), "PK", 2) == 0)) {
            if (primary_columns) primary_columns->push_back(col);
            continue;
        }
        const std::string order_text = !is_null_indicator(ind[4]) && order.text() == "A" ? " ASC " : " DESC ";
        if (indexes.empty() || ordinal == 1 || indexes.back().name != index) {
            IndexDef def;
            def.name = index;
            def.unique = !is_null_indicator(ind[0]) && non_unique == SQL_FALSE;
            indexes.push_back(def);
        }
        indexes.back().columns.push_back({col, order_text});
    }
    return 1;
}

int SourceReader::read_statistics(const ImportTable& table, TableKeys& keys) {
    std::vector<IndexDef> indexes;
    OdbcHandle h;
    if (!fetch_indexes(table, false, indexes, nullptr, h)) {
        report_diagnostic(h ? h : dbc_, nullptr);
        return 0;
    }
    for (IndexDef& index : indexes)
        for (IndexColumn& c : index.columns) c.name = target_column_name(table, c.name);
    keys.indexes = std::move(indexes);
    keys.unique_word = "UNIQUE";
    return 1;
}

int SourceReader::read_indexes_by_name(const ImportTable& table, bool append, TableKeys& keys) {
    if (!append) keys.indexes.clear();
    std::vector<IndexDef> indexes;
    std::vector<std::string> primary_columns;
    OdbcHandle h;
    if (!fetch_indexes(table, true, indexes, append ? nullptr : &primary_columns, h)) {
        report_diagnostic(h ? h : dbc_, nullptr);
        return 0;
    }
    for (const std::string& c : primary_columns) keys.primary.push_back(target_column_name(table, c));
    if (!table.create_indexes) return 1;
    for (IndexDef& index : indexes)
        for (IndexColumn& c : index.columns) c.name = target_column_name(table, c.name);
    keys.indexes = std::move(indexes);
    keys.unique_word = "unique";
    return 1;
}

int SourceReader::read_foreign_keys(const ImportTable& table, const std::vector<ImportTable>* listed,
                                    std::string& clauses) {
    clauses.clear();
    if (is_access_file(dbms_)) return read_access_relationships(table, listed, clauses);
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLForeignKeysW(h.get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, schema.or_null(),
                                 schema.length(), name.get(), name.length()))) {
        if (diagnostic_state(h) == kNotSupported) return 1;  // a driver without them gives none
        report_diagnostic(h, nullptr);
        return 0;
    }
    WideAnswer<512> ref_table, ref_column, fk_table, column, key_name, ref_key;
    SQLSMALLINT update_rule = 0, delete_rule = 0;
    SQLLEN ind[8] = {};
    SQLBindCol(h.get(), 3, SQL_C_WCHAR, ref_table.get(), ref_table.bytes(), &ind[0]);
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, ref_column.get(), ref_column.bytes(), &ind[1]);
    SQLBindCol(h.get(), 7, SQL_C_WCHAR, fk_table.get(), fk_table.bytes(), &ind[2]);
    SQLBindCol(h.get(), 8, SQL_C_WCHAR, column.get(), column.bytes(), &ind[3]);
    SQLBindCol(h.get(), 10, SQL_C_SSHORT, &update_rule, 0, &ind[4]);
    SQLBindCol(h.get(), 11, SQL_C_SSHORT, &delete_rule, 0, &ind[5]);
    SQLBindCol(h.get(), 12, SQL_C_WCHAR, key_name.get(), key_name.bytes(), &ind[6]);
    SQLBindCol(h.get(), 13, SQL_C_WCHAR, ref_key.get(), ref_key.bytes(), &ind[7]);
    std::string columns, ref_columns, current_name, current_table;
    SQLSMALLINT current_update = 0, current_delete = 0;
    auto close_key = [&]() {
        if (columns.empty()) return;
        if (!clauses.empty()) clauses += ", ";
        if (current_name.empty())
            clauses += "ADD FOREIGN KEY(" + columns + ")REFERENCES " + backquoted(current_table) + "(" + ref_columns + ")";
        else
            clauses += "ADD FOREIGN KEY " + backquoted(current_name) + "(" + columns + ")REFERENCES " +
                             backquoted(current_table) + "(" + ref_columns + ")";
        clauses += std::string("ON DELETE ") + rule_text(current_delete) + "ON UPDATE " + rule_text(current_update);
        columns.clear();
        ref_columns.clear();
    };
    for (bool rows = has_result(h); rows;) {
        for (auto* text : {&ref_table, &ref_column, &fk_table, &column, &key_name, &ref_key}) text->clear();
        for (SQLLEN& i : ind) i = 0;
        update_rule = delete_rule = 0;
        if (!odbc_ok(SQLFetch(h.get()))) break;
        const std::string col_text = is_null_indicator(ind[3]) ? "" : column.text();
        if (col_text.empty()) break;
        const std::string col = target_column_name(table, col_text);
        std::string referenced = is_null_indicator(ind[0]) ? "" : ref_table.text();
        std::string referenced_column = is_null_indicator(ind[1]) ? "" : ref_column.text();
        if (listed) {
            for (const ImportTable& other : *listed) {
                if (strcasecmp(other.source_name.c_str(), referenced.c_str()) != 0) continue;
                referenced_column = target_column_name(other, referenced_column);
                referenced = other.target_name;
                break;
            }
        }
        const std::string key = is_null_indicator(ind[6]) ? "" : key_name.text();
        if (!columns.empty() && strcasecmp(key.c_str(), current_name.c_str()) != 0) close_key();
        append_listed(columns, backquoted(col));
        append_listed(ref_columns, backquoted(referenced_column));
        current_name = key.substr(0, 128);
        current_table = referenced.substr(0, 64);
        current_update = is_null_indicator(ind[4]) ? SQL_RESTRICT : update_rule;
        current_delete = is_null_indicator(ind[5]) ? SQL_RESTRICT : delete_rule;
    }
    close_key();
    return 1;
}

int SourceReader::read_access_relationships(const ImportTable& table, const std::vector<ImportTable>* listed,
                                            std::string& clauses) {
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    // MDB Tools' SQL has no ORDER BY: its rows are put in order here.
    const bool mdb_tools = dbms_ == SourceDbms::mdb_tools;
    std::string text = "SELECT szRelationship,  szColumn, szReferencedObject, szReferencedColumn,";
    text += " grbit, icolumn FROM MSysRelationships WHERE szObject= '";
    for (char c : table.source_name) text += c == '\'' ? std::string("''") : std::string(1, c);
    text += mdb_tools ? "'" : "' ORDER BY szRelationship, icolumn";
    if (!execute_text(h, text)) return 0;
    WideAnswer<512> relationship, column, ref_column;
    WideAnswer<64> object;
    SQLINTEGER flags = 0, position = 0;
    SQLLEN ind[6] = {};
    SQLBindCol(h.get(), 1, SQL_C_WCHAR, relationship.get(), relationship.bytes(), &ind[0]);
    SQLBindCol(h.get(), 2, SQL_C_WCHAR, column.get(), column.bytes(), &ind[1]);
    SQLBindCol(h.get(), 3, SQL_C_WCHAR, object.get(), object.bytes(), &ind[2]);
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, ref_column.get(), ref_column.bytes(), &ind[3]);
    SQLBindCol(h.get(), 5, SQL_C_SLONG, &flags, 0, &ind[4]);
    SQLBindCol(h.get(), 6, SQL_C_SLONG, &position, 0, &ind[5]);
    struct Row {
        std::string name, column, object, ref_column;
        SQLINTEGER flags, position;
    };
    std::vector<Row> rows;
    for (bool more = has_result(h); more;) {
        for (auto* t : {&relationship, &column, &ref_column}) t->clear();
        object.clear();
        flags = position = 0;
        if (!odbc_ok(SQLFetch(h.get()))) break;
        rows.push_back({relationship.text(), column.text(), object.text(), ref_column.text(), flags, position});
    }
    if (mdb_tools)
        std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
            const int by_name = strcasecmp(a.name.c_str(), b.name.c_str());
            return by_name != 0 ? by_name < 0 : a.position < b.position;
        });
    // The referenced table under its name on the target.
    auto target_table = [&](const std::string& object_name) {
        if (listed) {
            for (const ImportTable& other : *listed)
                if (strcasecmp(other.source_name.c_str(), object_name.c_str()) == 0) return other.target_name;
        }
        std::string name = object_name;
        for (char& c : name)
            if (c == '.' || c == '/' || c == '\\') c = '_';
        return name;
    };
    // Flag bits of a relationship: 2 not enforced (the file may hold rows without their
    // parent: no foreign key), 256 cascading updates, 4096 cascading deletes.
    std::string columns, ref_columns;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        append_listed(columns, backquoted(r.column));
        append_listed(ref_columns, backquoted(r.ref_column));
        if (i + 1 < rows.size() && strcasecmp(rows[i + 1].name.c_str(), r.name.c_str()) == 0) continue;
        if ((r.flags & 2) == 0) {
            if (!clauses.empty()) clauses += ", ";
            clauses += "ADD FOREIGN KEY " + backquoted(r.name) + "(" + columns + ")REFERENCES " +
                       backquoted(target_table(r.object)) + "(" + ref_columns + ")";
            if ((r.flags & 4096) != 0) clauses += " ON DELETE CASCADE ";
            if ((r.flags & 256) != 0) clauses += (r.flags & 4096) != 0 ? "ON UPDATE CASCADE " : " ON UPDATE CASCADE ";
        }
        columns.clear();
        ref_columns.clear();
    }
    return 1;
}

}  // namespace kro::import

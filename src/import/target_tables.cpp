// The import's tables: keys and indexes read from the source, CREATE TABLE on the target,
// and the foreign keys.
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "common/str_buf.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "import/import_job.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::import {

namespace {

constexpr unsigned kNoSuchTable = 1146;

bool same_nocase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

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

}  // namespace

void ImportJob::keys_from_job_file(ImportTable& table) {
    keys_ = TableKeys{};
    for (const ImportColumn& c : table.columns)
        if (c.primary) keys_.primary.push_back(c.target_name);
    if (!table.create_indexes) return;
    if (dbms_ == SourceDbms::access) read_indexes_by_name(table, true);
    else read_statistics(table);
}

int ImportJob::keys_from_catalog(ImportTable& table) {
    sqlstate_.clear();
    keys_ = TableKeys{};
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLPrimaryKeysW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length()))) {
        SQLWCHAR state[6] = {}, message[2];
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLGetDiagRecW(SQL_HANDLE_STMT, h.get(), 1, state, &native, message, 2, &length);
        if (utf8_of(state) == "IM001") return read_indexes_by_name(table, false);
        report_diagnostic(h, nullptr);
        return 0;
    }
    SQLWCHAR column[1024];
    SQLLEN indicator = 0;
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, column, sizeof column, &indicator);
    SQLRETURN r;
    while (odbc_ok(r = SQLFetch(h.get()))) {
        const std::string name = target_column_name(table, utf8_of(column));
        keys_.primary.push_back(name);
        // The row action finds a source row by these columns.
        for (ImportColumn& c : table.columns)
            if (c.target_name == name) c.primary = true;
    }
    if (r != SQL_NO_DATA) report_diagnostic(h, nullptr);
    h.reset();
    if (!table.create_indexes) return 1;
    return dbms_ == SourceDbms::access ? read_indexes_by_name(table, true) : read_statistics(table);
}

std::string ImportJob::target_column_name(const ImportTable& table, const std::string& source_name) const {
    if (table.source_defined_columns) return source_name;
    for (const ImportColumn& c : table.columns)
        if (strcasecmp(c.source_name.c_str(), source_name.c_str()) == 0) return c.target_name;
    return source_name;
}

// The statistics rows of the source table, one index after another; name_based: the
// Access form (no schema, the first row always skipped, primary keys by index name).
static int fetch_indexes(SQLHANDLE dbc, const ImportTable& table, bool name_based, std::vector<IndexDef>& indexes,
                         std::vector<std::string>* primary_columns, OdbcHandle& h) {
    if (!h.allocate(SQL_HANDLE_STMT, dbc)) return 0;
    WideText schema(name_based ? std::string() : table.schema), name(table.source_name);
    if (!odbc_ok(SQLStatisticsW(h.get(), nullptr, 0, schema.or_null(), schema.length(), name.get(), name.length(),
                                SQL_INDEX_ALL, SQL_QUICK)))
        return 0;
    SQLSMALLINT non_unique = 0, ordinal = 0;
    SQLWCHAR index_name[256], column[256], order[16];
    SQLLEN ind[5] = {};
    SQLBindCol(h.get(), 4, SQL_C_SSHORT, &non_unique, 0, &ind[0]);
    SQLBindCol(h.get(), 6, SQL_C_WCHAR, index_name, sizeof index_name, &ind[1]);
    SQLBindCol(h.get(), 8, SQL_C_SSHORT, &ordinal, 0, &ind[2]);
    SQLBindCol(h.get(), 9, SQL_C_WCHAR, column, sizeof column, &ind[3]);
    SQLBindCol(h.get(), 10, SQL_C_WCHAR, order, sizeof order, &ind[4]);
    bool first_row = true;
    std::string last_index, last_column;
    while (odbc_ok(SQLFetch(h.get()))) {
        const std::string index = ind[1] == SQL_NULL_DATA ? "" : utf8_of(index_name);
        const std::string col = ind[3] == SQL_NULL_DATA ? "" : utf8_of(column);
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
        const std::string order_text = ind[4] != SQL_NULL_DATA && utf8_of(order) == "A" ? " ASC " : " DESC ";
        if (indexes.empty() || ordinal == 1 || indexes.back().name != index) {
            IndexDef def;
            def.name = index;
            def.unique = ind[0] != SQL_NULL_DATA && non_unique == SQL_FALSE;
            indexes.push_back(def);
        }
        indexes.back().columns.push_back({col, order_text});
    }
    return 1;
}

int ImportJob::read_statistics(ImportTable& table) {
    std::vector<IndexDef> indexes;
    OdbcHandle h;
    if (!fetch_indexes(dbc_.get(), table, false, indexes, nullptr, h)) {
        report_diagnostic(h ? h : dbc_, nullptr);
        return 0;
    }
    for (IndexDef& index : indexes)
        for (IndexColumn& c : index.columns) c.name = target_column_name(table, c.name);
    keys_.indexes = std::move(indexes);
    keys_.unique_word = "UNIQUE";
    return 1;
}

int ImportJob::read_indexes_by_name(ImportTable& table, bool append) {
    if (!append) keys_.indexes.clear();
    std::vector<IndexDef> indexes;
    std::vector<std::string> primary_columns;
    OdbcHandle h;
    if (!fetch_indexes(dbc_.get(), table, true, indexes, append ? nullptr : &primary_columns, h)) {
        report_diagnostic(h ? h : dbc_, nullptr);
        return 0;
    }
    for (const std::string& c : primary_columns) keys_.primary.push_back(target_column_name(table, c));
    if (!table.create_indexes) return 1;
    for (IndexDef& index : indexes)
        for (IndexColumn& c : index.columns) c.name = target_column_name(table, c.name);
    keys_.indexes = std::move(indexes);
    keys_.unique_word = "unique";
    return 1;
}

std::string ImportJob::create_table_text(const ImportTable& table) {
    return import::create_table_text(table, keys_, target_.facts());
}

int ImportJob::make_table(ImportTable& table, bool query_import) {
    const bool exists = target_.run("select * from " + backquoted(table.target_name) + " where 1=0", false) ||
                        target_.tunnel().error_number(target_.handle()) != kNoSuchTable;
    if (exists) {
        if (same_nocase(table.table_conflict, "abort")) {
            StrBuf text;
            text.format(query_import ? "\r\n%s: Table alreadys exits...Job aborted"
                                     : "\r\n%s: Table alreadys exists...Job aborted",
                        table.source_name.c_str());
            report_failure(text.c_str());
            progress_.report(kImportFailed, text.str());
            return kStopJob;
        }
        if (!same_nocase(table.table_conflict, "recreate")) return 1;
        if (!target_.run("DROP TABLE IF EXISTS " + backquoted(s_.target.database.str()) + "." +
                               backquoted(table.target_name),
                           true))
            return 0;
    }
    return target_.run(create_table_text(table), true);
}

int ImportJob::read_foreign_keys(ImportTable& table) {
    if (dbms_ == SourceDbms::access) return read_access_relationships(table);
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    WideText schema(table.schema), name(table.source_name);
    if (!odbc_ok(SQLForeignKeysW(h.get(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, schema.or_null(),
                                 schema.length(), name.get(), name.length()))) {
        report_diagnostic(h, nullptr);
        return 0;
    }
    SQLWCHAR ref_table[512], ref_column[512], fk_table[512], column[512], key_name[512], ref_key[512];
    SQLSMALLINT update_rule = 0, delete_rule = 0;
    SQLLEN ind[8] = {};
    SQLBindCol(h.get(), 3, SQL_C_WCHAR, ref_table, sizeof ref_table, &ind[0]);
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, ref_column, sizeof ref_column, &ind[1]);
    SQLBindCol(h.get(), 7, SQL_C_WCHAR, fk_table, sizeof fk_table, &ind[2]);
    SQLBindCol(h.get(), 8, SQL_C_WCHAR, column, sizeof column, &ind[3]);
    SQLBindCol(h.get(), 10, SQL_C_SSHORT, &update_rule, 0, &ind[4]);
    SQLBindCol(h.get(), 11, SQL_C_SSHORT, &delete_rule, 0, &ind[5]);
    SQLBindCol(h.get(), 12, SQL_C_WCHAR, key_name, sizeof key_name, &ind[6]);
    SQLBindCol(h.get(), 13, SQL_C_WCHAR, ref_key, sizeof ref_key, &ind[7]);
    foreign_keys_.clear();
    std::string columns, ref_columns, current_name, current_table;
    SQLSMALLINT current_update = 0, current_delete = 0;
    auto close_key = [&]() {
        if (columns.empty()) return;
        if (!foreign_keys_.empty()) foreign_keys_ += ", ";
        if (current_name.empty())
            foreign_keys_ += "ADD FOREIGN KEY(" + columns + ")REFERENCES " + backquoted(current_table) + "(" + ref_columns + ")";
        else
            foreign_keys_ += "ADD FOREIGN KEY " + backquoted(current_name) + "(" + columns + ")REFERENCES " +
                             backquoted(current_table) + "(" + ref_columns + ")";
        foreign_keys_ += std::string("ON DELETE ") + rule_text(current_delete) + "ON UPDATE " + rule_text(current_update);
        columns.clear();
        ref_columns.clear();
    };
    while (odbc_ok(SQLFetch(h.get()))) {
        if (ind[3] == SQL_NULL_DATA || column[0] == 0) break;
        const std::string col = target_column_name(table, utf8_of(column));
        std::string referenced = ind[0] == SQL_NULL_DATA ? "" : utf8_of(ref_table);
        std::string referenced_column = ind[1] == SQL_NULL_DATA ? "" : utf8_of(ref_column);
        if (!s_.all_tables) {
            for (const ImportTable& other : s_.tables) {
                if (strcasecmp(other.source_name.c_str(), referenced.c_str()) != 0) continue;
                referenced_column = target_column_name(other, referenced_column);
                referenced = other.target_name;
                break;
            }
        }
        const std::string key = ind[6] == SQL_NULL_DATA ? "" : utf8_of(key_name);
        if (!columns.empty() && strcasecmp(key.c_str(), current_name.c_str()) != 0) close_key();
        append_listed(columns, backquoted(col));
        append_listed(ref_columns, backquoted(referenced_column));
        current_name = key.substr(0, 128);
        current_table = referenced.substr(0, 64);
        current_update = ind[4] == SQL_NULL_DATA ? SQL_RESTRICT : update_rule;
        current_delete = ind[5] == SQL_NULL_DATA ? SQL_RESTRICT : delete_rule;
    }
    close_key();
    return 1;
}

int ImportJob::read_access_relationships(ImportTable& table) {
    OdbcHandle h;
    if (!new_statement(h)) return 0;
    std::string text = "SELECT szRelationship,  szColumn, szReferencedObject, szReferencedColumn,";
    text += " grbit FROM MSysRelationships WHERE szObject= '";
    for (char c : table.source_name) text += c == '\'' ? std::string("''") : std::string(1, c);
    text += "' ORDER BY szRelationship, icolumn";
    if (!execute_text(h, text)) return 0;
    SQLWCHAR relationship[512], column[512], object[64], ref_column[512];
    SQLINTEGER flags = 0;
    SQLLEN ind[5] = {};
    SQLBindCol(h.get(), 1, SQL_C_WCHAR, relationship, sizeof relationship, &ind[0]);
    SQLBindCol(h.get(), 2, SQL_C_WCHAR, column, sizeof column, &ind[1]);
    SQLBindCol(h.get(), 3, SQL_C_WCHAR, object, sizeof object, &ind[2]);
    SQLBindCol(h.get(), 4, SQL_C_WCHAR, ref_column, sizeof ref_column, &ind[3]);
    SQLBindCol(h.get(), 5, SQL_C_SLONG, &flags, 0, &ind[4]);
    foreign_keys_.clear();
    std::string columns, ref_columns, current, current_object;
    SQLINTEGER current_flags = 0;
    auto close_key = [&]() {
        if (columns.empty()) return;
        if (!foreign_keys_.empty()) foreign_keys_ += ", ";
        foreign_keys_ += "ADD FOREIGN KEY " + backquoted(current) + "(" + columns + ")REFERENCES " +
                         backquoted(current_object) + "(" + ref_columns + ")";
        if (current_flags == 256) foreign_keys_ += " ON UPDATE CASCADE ";
        else if (current_flags == 4096) foreign_keys_ += " ON DELETE CASCADE ";
        else if (current_flags == 4352) foreign_keys_ += " ON DELETE CASCADE ON UPDATE CASCADE ";
        columns.clear();
        ref_columns.clear();
    };
    while (odbc_ok(SQLFetch(h.get()))) {
        const std::string name = utf8_of(relationship);
        if (!columns.empty() && strcasecmp(name.c_str(), current.c_str()) != 0) close_key();
        append_listed(columns, backquoted(utf8_of(column)));
        append_listed(ref_columns, backquoted(utf8_of(ref_column)));
        current = name;
        current_object = utf8_of(object);
        current_flags = flags;
    }
    close_key();
    return 1;
}

int ImportJob::foreign_key_pass() {
    // Foreign keys are added with the checks on, so that one whose table or columns are
    // missing on the target is refused and reported instead of left dangling. (Through the
    // HTTP tunnel a statement without the prefix runs with the server's default, on.)
    const bool direct = !target_.is_http();
    if (direct && !target_.set_foreign_key_checks(true)) return 0;
    struct ChecksOff {
        TargetWriter& target;
        bool direct;
        ~ChecksOff() {
            if (direct) target.set_foreign_key_checks(false);
        }
    } checks_off{target_, direct};
    for (ImportTable& table : s_.tables) {
        if (!table.create_foreign_keys || !same_nocase(table.engine, "InnoDB")) continue;
        target_.set_table(table.source_name);
        progress_.report(kForeignKeysStarted, table.target_name);
        bool ok = read_foreign_keys(table);
        if (ok && !foreign_keys_.empty()) {
            ok = target_.run(" ALTER TABLE " + backquoted(table.target_name) + " " + foreign_keys_ + " ", false);
        }
        if (!ok) {
            some_table_failed_ = true;
            if (s_.abort_on_error) {
                progress_.report(kImportFailed, table.target_name);
                return 0;
            }
        }
        progress_.report(kForeignKeysDone, table.target_name);
    }
    return 1;
}

}  // namespace kro::import

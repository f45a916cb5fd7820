// The source row action: after a row was copied, the source row is updated or deleted,
// found by its key columns (or by all its columns) with the values just read.
#include <strings.h>

#include "import/source_reader.h"

namespace kro::import {

namespace {

bool is_blob_kind(const std::string& type) {
    for (const char* t : {"blob", "longblob", "tinyblob", "mediumblob"})
        if (strcasecmp(type.c_str(), t) == 0) return true;
    return false;
}

}  // namespace

int SourceReader::run_row_action(const ImportTable& table, const std::vector<FetchedValue>& values) {
    const SourceRowAction& action = table.row_action;
    std::string text;
    if (!action.updates.empty()) {
        text = "Update " + quoted(table.source_name) + " Set ";
        for (std::size_t i = 0; i < action.updates.size(); ++i) {
            if (i > 0) text += " , ";
            text += quoted(action.updates[i].first) + " = " + action.updates[i].second;
        }
    } else if (action.delete_row) {
        text = "Delete From " + quoted(table.source_name);
    } else {
        return 1;
    }
    std::vector<std::size_t> parameters;
    std::string condition;
    bool keyed = false;
    for (std::size_t i = 0; i < table.columns.size(); ++i)
        if (table.columns[i].primary && !is_blob_kind(table.columns[i].type)) keyed = true;
    for (std::size_t i = 0; i < table.columns.size() && i < values.size(); ++i) {
        const ImportColumn& c = table.columns[i];
        if (is_blob_kind(c.type)) continue;
        if (keyed && !c.primary) continue;
        if (!keyed && c.source_name == "<ignore>") continue;
        const bool ignored = strcasecmp(c.source_name.c_str(), "ignore") == 0;
        if (keyed) condition += condition.empty() ? "WHERE " : " AND ";
        else condition += condition.empty() ? " Where " : " And ";
        condition += quoted(c.source_name);
        if (values[i].is_null || ignored) {
            condition += " is null ";
        } else {
            condition += "= ?";
            parameters.push_back(i);
        }
    }
    text += " " + condition;

    OdbcHandle h;
    if (!new_statement(h)) return 0;
    // The parameter texts live until the statement ran.
    std::vector<std::u16string> texts(parameters.size());
    std::vector<SQLLEN> indicators(parameters.size());
    for (std::size_t n = 0; n < parameters.size(); ++n) {
        const ImportColumn& c = table.columns[parameters[n]];
        const FetchedValue& v = values[parameters[n]];
        SQLSMALLINT sql_type = static_cast<SQLSMALLINT>(c.odbc_type);
        if (sql_type >= SQL_TYPE_DATE && sql_type <= SQL_TYPE_TIMESTAMP) sql_type = SQL_CHAR;
        SQLRETURN r;
        if (c.binary) {
            indicators[n] = static_cast<SQLLEN>(v.bytes.size());
            r = SQLBindParameter(h.get(), static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT, SQL_C_BINARY, sql_type,
                                 v.bytes.size(), static_cast<SQLSMALLINT>(c.scale),
                                 const_cast<char*>(v.bytes.data()), static_cast<SQLLEN>(v.bytes.size()), &indicators[n]);
        } else {
            const bool guid = dbms_ == SourceDbms::access && c.odbc_type == SQL_GUID;
            texts[n] = guid ? u"{" + v.wide + u"}" : v.wide;
            indicators[n] = SQL_NTS;
            r = SQLBindParameter(h.get(), static_cast<SQLUSMALLINT>(n + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, sql_type,
                                 texts[n].size(), static_cast<SQLSMALLINT>(c.scale), texts[n].data(),
                                 static_cast<SQLLEN>((texts[n].size() + 1) * 2), &indicators[n]);
        }
        if (!odbc_ok(r)) {
            report_diagnostic(h, nullptr);
            return 0;
        }
    }
    execute_text(h, text);  // a failure is reported; the transfer goes on
    return 1;
}

}  // namespace kro::import

#include "import/schema_builder.h"

#include <algorithm>
#include <strings.h>

#include "connection/sql_quote.h"

using kro::connection::backquoted;

namespace kro::import {

namespace {

bool same_nocase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool is_blob_type(const std::string& type) { return same_nocase(type, "blob") || same_nocase(type, "longblob"); }

bool is_integer_type(const std::string& type) {
    for (const char* t : {"int", "integer", "bigint", "smallint", "tinyint", "mediumint"})
        if (same_nocase(type, t)) return true;
    return false;
}

// Is the column of this target name a BLOB or LONGBLOB column (keys need a prefix length)?
bool is_blob_column(const ImportTable& table, const std::string& target_name) {
    for (const ImportColumn& c : table.columns)
        if (c.target_name == target_name && is_blob_type(c.type)) return true;
    return false;
}

void append_listed(std::string& list, const std::string& item) {
    if (!list.empty()) list += ",";
    list += item;
}

std::string key_item(const ImportTable& table, const std::string& column) {
    return backquoted(column) + (is_blob_column(table, column) ? "(10)" : "");
}

std::string primary_key_list(const ImportTable& table, const TableKeys& keys) {
    std::string list;
    for (const std::string& column : keys.primary) append_listed(list, key_item(table, column));
    return list;
}

// The key clauses of CREATE TABLE for the indexes.
std::string index_clauses(const ImportTable& table, const TableKeys& keys, const std::string& primary_keys) {
    std::string text;
    for (const IndexDef& index : keys.indexes) {
        if (index.columns.empty()) continue;
        if (index.unique) {
            std::string list;
            for (const IndexColumn& c : index.columns) append_listed(list, key_item(table, c.name));
            if (list == primary_keys) continue;
        }
        bool first = true;
        for (const IndexColumn& c : index.columns) {
            const std::string column = backquoted(c.name) + (is_blob_column(table, c.name) ? "(6)" : " ");
            if (first) {
                text += text.empty() ? " " : "),";
                if (index.unique) text += std::string(keys.unique_word) + " ";
                text += "KEY " + backquoted(index.name) + "(" + column + c.order;
                first = false;
            } else {
                text += "," + column + c.order;
            }
        }
    }
    return text;
}

// One column's clause: name, type, length, flags, default, auto-increment, comment.
std::string column_clause(const ImportColumn& c, const std::string& primary_keys, const std::string& indexes,
                          const TargetFacts& target) {
    const std::string& type = c.type;
    std::string text = " " + backquoted(c.target_name) + " " + type;
    const bool blob = is_blob_type(type) || same_nocase(type, "blob(10)") || same_nocase(type, "tinyblob") ||
                      same_nocase(type, "mediumblob");
    if (blob) {
        if (c.not_null) text += " NOT NULL ";
    } else {
        bool takes_length = !c.length.empty();
        for (const char* t : {"Date", "bool", "boolean", "tinytext", "longtext", "mediumtext"})
            if (same_nocase(type, t)) takes_length = false;
        // TIME keeps its fractional digits (0 to 6).
        if (same_nocase(type, "Time") && (c.length.size() != 1 || c.length[0] < '0' || c.length[0] > '6'))
            takes_length = false;
        if (takes_length) text += "(" + c.length + ")";
        if (c.is_unsigned && c.numeric && !same_nocase(type, "bit")) text += " UNSIGNED ";
        if (c.zero_fill) text += " ZEROFILL ";
        text += c.not_null ? " NOT NULL " : " NULL ";
        if (!c.auto_increment && !same_nocase(type, "bit")) {
            switch (c.default_kind) {
                case DefaultKind::number: case DefaultKind::current_time: text += "DEFAULT " + c.default_value; break;
                case DefaultKind::text: text += "DEFAULT '" + target.escape(c.default_value) + "'"; break;
                case DefaultKind::none: case DefaultKind::left_out: break;
            }
        }
    }
    if (c.auto_increment && c.numeric) {
        // A key column needs no second, UNIQUE key for its counter.
        const bool keyed = c.primary || indexes.find(backquoted(c.source_name)) != std::string::npos ||
                           ("," + primary_keys + ",").find("," + backquoted(c.target_name) + ",") != std::string::npos;
        text += keyed ? " AUTO_INCREMENT " : " UNIQUE AUTO_INCREMENT ";
    }
    if (!c.comment.empty()) text += " COMMENT '" + target.escape(c.comment) + "'";
    return text;
}

}  // namespace

void map_source_columns(const std::vector<CatalogColumn>& source, SourceDbms dbms, bool server_5,
                        ImportTable& table) {
    table.columns.clear();
    for (const CatalogColumn& in : source) {
        ImportColumn c;
        map_column(in, dbms, server_5, c, table);
        // Drivers call every non-integer column unsigned (some even floating ones): only an
        // integer column takes the flag, and an Access column has it from its own type.
        if (in.access_type.empty() && in.is_unsigned && is_integer_type(c.type)) c.is_unsigned = true;
        c.auto_increment = in.auto_unique;
        if (c.auto_increment) {
            // An integer column keeps its width: a BIGINT counter does not fit INTEGER.
            if (!is_integer_type(c.type)) {
                c.type = "integer";
                c.length = "11";
            }
            c.numeric = true;
        }
        table.columns.push_back(std::move(c));
    }
}

void keep_keys_of_columns(const ImportTable& table, TableKeys& keys) {
    auto has = [&](const std::string& name) {
        return std::any_of(table.columns.begin(), table.columns.end(),
                           [&](const ImportColumn& c) { return c.target_name == name; });
    };
    if (!std::all_of(keys.primary.begin(), keys.primary.end(), has)) keys.primary.clear();
    std::erase_if(keys.indexes, [&](const IndexDef& index) {
        return !std::all_of(index.columns.begin(), index.columns.end(),
                            [&](const IndexColumn& c) { return has(c.name); });
    });
}

std::string create_table_text(const ImportTable& table, const TableKeys& keys, const TargetFacts& target) {
    if (!table.create_statement.empty()) return table.create_statement;
    const std::string primary_keys = primary_key_list(table, keys);
    const std::string indexes = index_clauses(table, keys, primary_keys);
    std::string text = "CREATE TABLE " + backquoted(target.database) + "." + backquoted(table.target_name) + "(";
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
        text += column_clause(table.columns[i], primary_keys, indexes, target);
        if (i + 1 < table.columns.size()) text += ",";
    }
    if (!primary_keys.empty()) text += ", PRIMARY KEY(" + primary_keys + ")";
    if (!indexes.empty()) text += ", " + indexes + ")";
    text += ")";
    if (!table.engine.empty()) text += (target.server_4_1 ? "Engine=" : "Type=") + table.engine;
    if (target.server_4_1) text += target.utf8mb4 ? " DEFAULT CHARSET = utf8mb4" : " DEFAULT CHARSET = utf8";
    if (!table.comment.empty()) text += " COMMENT = '" + target.escape(table.comment) + "'";
    return text;
}

}  // namespace kro::import

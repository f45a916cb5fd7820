#include "sync/table_checks.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/column_values.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

constexpr int kKeyName = 2;
constexpr int kKeyColumn = 4;

const char* value(MYSQL_ROW row, int at) { return row[at] ? row[at] : ""; }

// The stored rows of a result from the first, whatever was read from it before.
std::vector<MYSQL_ROW> rows_of(Tunnel& tunnel, TunnelResult* result) {
    std::vector<MYSQL_ROW> rows;
    tunnel.data_seek(result, 0);
    while (MYSQL_ROW row = tunnel.fetch_row(result)) rows.push_back(row);
    tunnel.data_seek(result, 0);
    return rows;
}

// How much of Unicode a character set holds.
enum class Repertoire { other, basic_plane, all };

Repertoire repertoire(const std::string& charset) {
    if (charset == "utf8mb4" || charset == "utf16" || charset == "utf16le" || charset == "utf32") return Repertoire::all;
    if (charset == "utf8mb3" || charset == "utf8" || charset == "ucs2") return Repertoire::basic_plane;
    return Repertoire::other;
}

// Whether every value of a text in the source's set has a place in the target's: the same
// set, ASCII, or a Unicode set wide enough for what the source's set holds.
bool holds_charset(const std::string& source, const std::string& target) {
    if (source == target || source == "ascii") return true;
    const Repertoire wide = repertoire(target);
    return wide == Repertoire::all || (wide == Repertoire::basic_plane && repertoire(source) != Repertoire::all);
}

// The target's column takes every value of the source's: its character set holds the
// source's texts and it takes a NULL where the source may hold one. Else error holds why.
bool holds_values(const ColumnDefinition& ours, const ColumnDefinition& theirs, const std::string& table,
                  StrBuf& error) {
    if (ours.has_collation() && theirs.has_collation() && !holds_charset(ours.charset, theirs.charset)) {
        error.format("Character set mismatch for '%s' column in '%s' table: the target's %s cannot hold every "
                     "value of the source's %s\r\n",
                     ours.name.c_str(), table.c_str(), theirs.charset.c_str(), ours.charset.c_str());
        return false;
    }
    if (ours.nullable && !theirs.nullable) {
        error.format("NULL mismatch for '%s' column in '%s' table: the source allows NULL, the target does not\r\n",
                     ours.name.c_str(), table.c_str());
        return false;
    }
    return true;
}

// Whether both sides compare a key column's values alike: the same collation, or a
// utf8mb3 one against its utf8mb4 twin (which agree on every value utf8mb3 holds). Keys
// compared otherwise could be two rows on the source and one on the target ('e' and 'é').
bool compares_alike(const ColumnDefinition& ours, const ColumnDefinition& theirs) {
    if (strcasecmp(ours.collation.c_str(), theirs.collation.c_str()) == 0) return true;
    for (const char* narrow : {"utf8mb3_", "utf8_"}) {
        const std::size_t n = std::strlen(narrow);
        if (strncasecmp(ours.collation.c_str(), narrow, n) == 0 &&
            strcasecmp(("utf8mb4_" + ours.collation.substr(n)).c_str(), theirs.collation.c_str()) == 0)
            return true;
    }
    return false;
}

// " (source 3 columns, target 2; only in the source: `c`)": which columns differ by name.
std::string column_count_detail(const std::vector<ColumnDefinition>& ours, const std::vector<ColumnDefinition>& theirs) {
    auto only_in = [](const std::vector<ColumnDefinition>& these, const std::vector<ColumnDefinition>& others) {
        std::string names;
        for (const ColumnDefinition& column : these) {
            const bool shared = std::any_of(others.begin(), others.end(), [&column](const ColumnDefinition& other) {
                return strcasecmp(column.name.c_str(), other.name.c_str()) == 0;
            });
            if (!shared) names += (names.empty() ? "" : ", ") + backquoted(column.name);
        }
        return names;
    };
    std::string detail = " (source " + std::to_string(ours.size()) + " columns, target " + std::to_string(theirs.size());
    const std::string source_only = only_in(ours, theirs), target_only = only_in(theirs, ours);
    if (!source_only.empty()) detail += "; only in the source: " + source_only;
    if (!target_only.empty()) detail += "; only in the target: " + target_only;
    return detail + ")";
}

void build_key_list(SyncContext& ctx) {
    ctx.plan.key_list.clear();
    for (const KeyColumn& key : ctx.plan.keys) {
        if (!ctx.plan.key_list.empty()) ctx.plan.key_list += ",";
        ctx.plan.key_list += backquoted(key.name);
    }
}

}  // namespace

int check_compatibility(SyncContext& ctx, TunnelResult* keys, StrBuf& error) {
    SyncSide& source = ctx.source();
    SyncSide& target = ctx.target();
    StrBuf statement;
    statement.format("show full fields from %s", ctx.plan.table.c_str());
    ResultPtr target_fields = query_side(target, statement.c_str());
    if (!target_fields) {
        error.format("%s - Could not get FIELD information for '%s' in the TARGET database\r\n",
                     target.tunnel().error(target.handle()), ctx.plan.table_label.c_str());
        return 0;
    }
    const std::vector<ColumnDefinition>& ours = ctx.plan.columns;
    const std::vector<ColumnDefinition> theirs = parse_columns(target.tunnel(), target_fields.get());
    if (ours.size() != theirs.size()) {
        error.format("Field count not equal for '%s' table%s\r\n", ctx.plan.table_label.c_str(),
                     column_count_detail(ours, theirs).c_str());
        return 0;
    }
    bool has_key = false;
    ctx.plan.same_charset.assign(ours.size(), false);
    for (std::size_t i = 0; i < ours.size(); ++i) {
        ctx.set_status("");
        const ColumnDefinition& column = ours[i];
        const char* name = column.name.c_str();
        if (strcasecmp(name, theirs[i].name.c_str()) != 0) {
            error.format("Column NAME mismatch for '%s' table\r\n", ctx.plan.table_label.c_str());
            return 0;
        }
        // A TIMESTAMP's width and its automatic attributes differ between server versions
        // and settings; any TIMESTAMP matches another.
        const bool timestamp = column.type == ColumnType::timestamp;
        if (timestamp ? theirs[i].type != ColumnType::timestamp
                      : strcasecmp(column.type_text.c_str(), theirs[i].type_text.c_str()) != 0) {
            error.format("Definition mismatch for '%s' column in '%s' table (source %s, target %s)\r\n", name,
                         ctx.plan.table_label.c_str(), column.type_text.c_str(), theirs[i].type_text.c_str());
            return 0;
        }
        if (column.key != ColumnKey::none) has_key = true;
        const bool plain_timestamp = timestamp && column.fractional_digits == 0;
        if (!plain_timestamp && strcasecmp(column.extra.c_str(), theirs[i].extra.c_str()) != 0) {
            error.format("Column definition mismatch for '%s' column in '%s' table\r\n", name, ctx.plan.table_label.c_str());
            return 0;
        }
        // Written into a narrower set or a NOT NULL column, values would change on the way.
        if (in_rows(ctx.plan, column) && !holds_values(column, theirs[i], ctx.plan.table_label, error)) return 0;
        if (column.key == ColumnKey::primary && column.has_collation() && !compares_alike(column, theirs[i])) {
            error.format("Collation mismatch for '%s' key column in '%s' table: the source compares its values by %s, "
                         "the target by %s, which could take two of the source's keys for one\r\n",
                         name, ctx.plan.table_label.c_str(), column.collation.c_str(), theirs[i].collation.c_str());
            return 0;
        }
        ctx.plan.same_charset[i] = column.has_collation() && column.charset == theirs[i].charset;
    }
    if (!has_key) return 1;

    ctx.set_status("Getting key(s)information...");
    statement.format("show keys from %s", ctx.plan.table.c_str());
    ResultPtr target_keys = query_side(target, statement.c_str());
    if (!target_keys) {
        error.format("Could not get key information for '%s' in the TARGET database\r\n", ctx.plan.table_label.c_str());
        return 0;
    }
    std::vector<MYSQL_ROW> their_keys = rows_of(target.tunnel(), target_keys.get());
    std::size_t next = 0;
    for (MYSQL_ROW row : rows_of(source.tunnel(), keys)) {
        if (strcasecmp(value(row, kKeyName), "PRIMARY") != 0) break;
        if (next >= their_keys.size() || strcasecmp(value(row, kKeyColumn), value(their_keys[next], kKeyColumn)) != 0) {
            error.format("PRIMARY KEY mismatch for '%s' table\r\n", ctx.plan.table_label.c_str());
            return 0;
        }
        ++next;
    }
    ctx.set_status("");
    return 1;
}

int primary_key_count(Tunnel& tunnel, TunnelResult* keys) {
    int count = 0;
    for (MYSQL_ROW row : rows_of(tunnel, keys)) {
        if (std::strcmp(value(row, kKeyName), "PRIMARY") != 0) break;
        ++count;
    }
    return count;
}

SingleKey find_single_key(const std::vector<ColumnDefinition>& columns, int primary_count) {
    SingleKey found;
    int candidates = 0;
    for (const ColumnDefinition& column : columns) {
        if (column.key != ColumnKey::primary) continue;
        const KeyClass key_class = key_class_of(column);
        if (primary_count == 1) {
            if (key_class != KeyClass::other) found = SingleKey{column.name, key_class};
            return found;
        }
        if (key_class != KeyClass::other) found = SingleKey{column.name, key_class};
        ++candidates;
    }
    if (candidates > 1) found = SingleKey{};
    return found;
}

KeyFound find_key_columns(SyncContext& ctx, TunnelResult* keys, int primary_count) {
    Tunnel& tunnel = ctx.source().tunnel();
    ctx.plan.keys.clear();
    const std::vector<MYSQL_ROW> key_rows = rows_of(tunnel, keys);
    if (primary_count > 0) {
        for (int i = 0; i < primary_count; ++i) {
            KeyColumn key{value(key_rows[i], kKeyColumn)};
            const ColumnDefinition* column = find_column(ctx.plan.columns, key.name);
            if (column && column->key == ColumnKey::primary) {
                key = key_column(*column);
            }
            ctx.plan.keys.push_back(key);
        }
        ctx.plan.index_name = "PRIMARY";
        build_key_list(ctx);
        return KeyFound::key;
    }
    // The server marks the columns of a unique index over NOT NULL columns as "PRI" when the
    // table has no primary key.
    std::vector<KeyColumn> found;
    for (const ColumnDefinition& column : ctx.plan.columns) {
        if (column.key != ColumnKey::primary) continue;
        found.push_back(key_column(column));
    }
    if (found.empty()) return KeyFound::none;
    for (MYSQL_ROW row : key_rows) {
        auto match = std::find_if(found.begin(), found.end(),
                                  [&](const KeyColumn& k) { return strcasecmp(k.name.c_str(), value(row, kKeyColumn)) == 0; });
        if (match == found.end()) break;
        if (ctx.plan.keys.empty()) ctx.plan.index_name = value(row, kKeyName);
        ctx.plan.keys.push_back(*match);
    }
    if (ctx.plan.keys.empty()) return KeyFound::none;
    build_key_list(ctx);
    return KeyFound::key;
}

std::string stored_table_name(const std::string& sql_name) {
    if (sql_name.size() < 2 || sql_name.front() != '`' || sql_name.back() != '`') return sql_name;
    std::string name;
    for (std::size_t i = 1; i + 1 < sql_name.size(); ++i) {
        name += sql_name[i];
        if (sql_name[i] == '`' && sql_name[i + 1] == '`') ++i;
    }
    return name;
}

bool ask_about_target_table(SyncContext& ctx, const char* query, std::string& answer) {
    SyncSide& target = ctx.target();
    const std::string name = stored_table_name(ctx.plan.table);
    StrBuf statement(query, 1);
    statement.append("'");
    if (!append_escaped_value(statement, target.tunnel(), target.handle(), name.data(),
                              static_cast<unsigned long>(name.size())))
        return false;
    statement.append("'");
    ResultPtr result = query_side(target, statement.c_str());
    MYSQL_ROW row = result ? target.tunnel().fetch_row(result.get()) : nullptr;
    if (!row || !row[0]) return false;
    answer = row[0];
    return true;
}

int create_target_table(SyncContext& ctx) {
    SyncSide& source = ctx.source();
    ctx.set_status("Creating new table...");
    StrBuf statement;
    statement.format("show create table %s", ctx.plan.table.c_str());
    ResultPtr created = query_side(source, statement.c_str());
    if (!created) {
        ctx.report_error(source);
        return 0;
    }
    ctx.set_status("Creating table...");
    MYSQL_ROW row = source.tunnel().fetch_row(created.get());
    if (!row || source.tunnel().num_fields(created.get()) < 2 || !row[1]) return 0;
    StrBuf create(row[1], source.utf8 ? 1 : 0);
    created.reset();
    SyncSide& target = ctx.target();
    if (send_only(ctx, target, create).kind != StatementOutcome::ok) {
        ctx.report_error(target);
        print_check_line();
        return 0;
    }
    return 1;
}

}  // namespace kro::sync

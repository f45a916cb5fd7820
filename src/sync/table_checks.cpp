#include "sync/table_checks.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "report/reporting.h"
#include "sync/statement_sink.h"
#include "sync/sync_statements.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::sync {

namespace {

// Positions in a "show full fields" row: the key flag and the extra attributes moved by
// one column in 4.1, which added the collation.
struct FieldColumns {
    int key;
    int extra;
};

FieldColumns field_columns(SyncSide& side) {
    return server_at_least_4_1_0(side.tunnel(), side.handle()) ? FieldColumns{4, 6} : FieldColumns{3, 5};
}

constexpr int kType = 1;
constexpr int kCollation = 2;
constexpr int kKeyName = 2;
constexpr int kKeyColumn = 4;

const char* value(MYSQL_ROW row, int at) { return row[at] ? row[at] : ""; }

bool starts_with_nocase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

bool ends_with(const char* text, const char* suffix) {
    std::size_t n = std::strlen(text), m = std::strlen(suffix);
    return n >= m && std::strcmp(text + n - m, suffix) == 0;
}

// The stored rows of a result from the first, whatever was read from it before.
std::vector<MYSQL_ROW> rows_of(Tunnel& tunnel, TunnelResult* result) {
    std::vector<MYSQL_ROW> rows;
    tunnel.data_seek(result, 0);
    while (MYSQL_ROW row = tunnel.fetch_row(result)) rows.push_back(row);
    tunnel.data_seek(result, 0);
    return rows;
}

// A string key column whose collation tells apart what the row merge takes as equal.
bool refuses_collation(SyncContext& ctx, const KeyColumn& key, const char* collation) {
    if (key.key_class != KeyClass::other || !collation) return false;
    if (!ends_with(collation, "_bin") && !ends_with(collation, "_cs")) return false;
    StrBuf text;
    text.format("\n\nWARNING:Sync of table %s was aborted as data sync does not support PK's on string types using "
                "a binary or case sensitive collation",
                ctx.plan.table_label.c_str());
    show_warning(ctx.report(), text.c_str());
    return true;
}

void build_key_list(SyncContext& ctx) {
    ctx.plan.key_list.clear();
    for (const KeyColumn& key : ctx.plan.keys) {
        if (!ctx.plan.key_list.empty()) ctx.plan.key_list += ",";
        ctx.plan.key_list += backquoted(key.name);
    }
}

KeyColumn key_column(const char* name, const char* type) {
    KeyColumn key;
    key.name = name;
    key.key_class = key_class_of(type);
    key.unquoted = key.key_class == KeyClass::integer || key.key_class == KeyClass::floating;
    return key;
}

}  // namespace

int check_compatibility(SyncContext& ctx, TunnelResult* fields, TunnelResult* keys, StrBuf& error) {
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
    std::vector<MYSQL_ROW> ours = rows_of(source.tunnel(), fields);
    std::vector<MYSQL_ROW> theirs = rows_of(target.tunnel(), target_fields.get());
    if (ours.size() != theirs.size()) {
        error.format("Field count not equal for '%s' table\r\n", ctx.plan.table_label.c_str());
        return 0;
    }
    const FieldColumns s = field_columns(source), t = field_columns(target);
    bool has_key = false;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        ctx.set_status("");
        const char* name = value(ours[i], 0);
        if (strcasecmp(name, value(theirs[i], 0)) != 0) {
            error.format("Column NAME mismatch for '%s' table\r\n", ctx.plan.table_label.c_str());
            return 0;
        }
        const char* type = value(ours[i], kType);
        const char* target_type = value(theirs[i], kType);
        const bool timestamp = starts_with_nocase(type, "timestamp");
        if (timestamp ? !starts_with_nocase(target_type, "timestamp") : strcasecmp(type, target_type) != 0) {
            error.format("Definition mismatch for '%s' column in '%s' table\r\n", name, ctx.plan.table_label.c_str());
            return 0;
        }
        if (*value(ours[i], s.key)) has_key = true;
        if (strcasecmp(type, "timestamp") != 0 && strcasecmp(value(ours[i], s.extra), value(theirs[i], t.extra)) != 0) {
            error.format("Column definition mismatch for '%s' column in '%s' table\r\n", name, ctx.plan.table_label.c_str());
            return 0;
        }
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

SingleKey find_single_key(Tunnel& tunnel, TunnelResult* fields, int primary_count) {
    SingleKey found;
    int candidates = 0;
    // The key flag's column: 4 from 4.1 on; the fields result tells by its column count.
    const int key_at = tunnel.num_fields(fields) > 6 ? 4 : 3;
    for (MYSQL_ROW row : rows_of(tunnel, fields)) {
        if (strcasecmp(value(row, key_at), "PRI") != 0 || !row[kType]) continue;
        const KeyClass key_class = key_class_of(row[kType]);
        if (primary_count == 1) {
            if (key_class != KeyClass::other) found = SingleKey{value(row, 0), key_class};
            return found;
        }
        if (key_class != KeyClass::other) found = SingleKey{value(row, 0), key_class};
        ++candidates;
    }
    if (candidates > 1) found = SingleKey{};
    return found;
}

KeyFound find_key_columns(SyncContext& ctx, TunnelResult* fields, TunnelResult* keys, int primary_count) {
    Tunnel& tunnel = ctx.source().tunnel();
    ctx.plan.keys.clear();
    const int key_at = tunnel.num_fields(fields) > 6 ? 4 : 3;
    const std::vector<MYSQL_ROW> field_rows = rows_of(tunnel, fields);
    const std::vector<MYSQL_ROW> key_rows = rows_of(tunnel, keys);
    if (primary_count > 0) {
        for (int i = 0; i < primary_count; ++i) ctx.plan.keys.push_back(KeyColumn{value(key_rows[i], kKeyColumn)});
        for (MYSQL_ROW row : field_rows) {
            if (std::strcmp(value(row, key_at), "PRI") != 0) continue;
            for (KeyColumn& key : ctx.plan.keys) {
                if (key.name != value(row, 0)) continue;
                key = key_column(value(row, 0), value(row, kType));
                if (refuses_collation(ctx, key, row[kCollation])) return KeyFound::refused;
            }
        }
        ctx.plan.index_name = "PRIMARY";
        build_key_list(ctx);
        return KeyFound::key;
    }
    // The server marks the columns of a unique index over NOT NULL columns as "PRI" when the
    // table has no primary key.
    std::vector<KeyColumn> found;
    for (MYSQL_ROW row : field_rows) {
        if (std::strcmp(value(row, key_at), "PRI") != 0) continue;
        found.push_back(key_column(value(row, 0), value(row, kType)));
        if (refuses_collation(ctx, found.back(), row[kCollation])) return KeyFound::refused;
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

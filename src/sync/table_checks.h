// What is decided about a table before any of its rows is read: whether the target's
// definition matches the source's, which key pairs the rows of both sides, and creating a
// table the target lacks. They read the source's columns from ctx.plan.columns; the keys result
// is the source's stored result of "show keys" for the current table.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "connection/result_ptr.h"
#include "sync/sync_context.h"

namespace kro::sync {

// 1 when the target's columns and primary key match the source's; else 0 and error holds
// the reason (a failed statement is reported where it happens).
int check_compatibility(SyncContext& ctx, connection::TunnelResult* keys, common::StrBuf& error);

// The rows at the start of the keys result whose key name is exactly "PRIMARY".
int primary_key_count(connection::Tunnel& tunnel, connection::TunnelResult* keys);

// A single numeric or temporal key column that chunks by value ranges can cut; empty name
// when there is none.
struct SingleKey {
    std::string name;
    KeyClass key_class = KeyClass::other;
};
SingleKey find_single_key(const std::vector<connection::ColumnDefinition>& columns, int primary_count);

enum class KeyFound { key, none };
// The primary key's columns, else those of a unique index over NOT NULL columns, into
// the plan's keys, key_list and index_name. String keys of any collation are found: the
// row merge orders them by the server's own sort key.
KeyFound find_key_columns(SyncContext& ctx, connection::TunnelResult* keys, int primary_count);

// The table's name as the server stores it, from its form in SQL ("`a``b`" gives "a`b").
std::string stored_table_name(const std::string& sql_name);

// Asks the target one question about the current table: the query ends with a comparison
// to which the table's stored name is added as a literal. False when the query failed or
// its answer is NULL or no row; else answer holds the first column of the first row.
bool ask_about_target_table(SyncContext& ctx, const char* query, std::string& answer);

// The source's CREATE TABLE of the current table, run on the target in every mode and
// never written to the script. 0 when it failed (reported).
int create_target_table(SyncContext& ctx);

}  // namespace kro::sync

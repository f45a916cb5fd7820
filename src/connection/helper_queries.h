// Small queries the jobs share: server limits, object definitions, row counts and the
// statements that list a database's objects. Names are quoted safely wherever they go
// into SQL. All statements go through query_with_reconnect without reconnecting, unless
// said otherwise.
#pragma once

#include <cstdint>

#include <mysql.h>

#include "common/str_buf.h"

namespace kro::connection {

class Tunnel;
struct TunnelResult;
struct KeptSession;

// Five sevenths of the server's max_allowed_packet in KiB (value * 5 / 7168); 0 on
// failure. Reconnects once when the connection was lost: the new session has none of the
// job's settings, so a job that keeps its session asks through it instead (below).
long packet_allowance(Tunnel& tunnel, MYSQL*& handle);
// The same on a kept session: a lost session comes back with the job's settings.
long packet_allowance(KeptSession& session);

// The longest multi-row INSERT in bytes for an allowance of kb KiB: kb * 1024, at most
// 16 MB (the largest packet older servers take).
long statement_byte_limit(long kb);

// Index of the result's first field named name (case ignored), or -1.
int column_index(Tunnel& tunnel, TunnelResult* result, const char* name);

// The definition (third column) of a stored function or procedure into definition, 1.
// On failure 0 and error_text holds why: "Function '%s' doesn't exists!" (or Procedure),
// "Unable to retrieve information. Please check your permission." or "Error No. %d\n%s".
// statement, when given, receives the statement text.
int show_create_function(Tunnel& tunnel, MYSQL* handle, const char* database, const char* name,
                         common::StrBuf& definition, common::StrBuf& error_text, common::StrBuf* statement = nullptr);
int show_create_procedure(Tunnel& tunnel, MYSQL* handle, const char* database, const char* name,
                          common::StrBuf& definition, common::StrBuf& error_text, common::StrBuf* statement = nullptr);

// Rows of database.table, with " where condition" when condition is given; 0 on failure.
std::uint64_t count_rows(Tunnel& tunnel, MYSQL* handle, const char* database, const char* table,
                         const char* condition = nullptr);

// Statements that list a database's views, procedures, functions, events and base tables
// (written into statement; nothing is sent).
void list_views_statement(Tunnel& tunnel, MYSQL* handle, const char* database, common::StrBuf& statement);
void list_procedures_statement(Tunnel& tunnel, MYSQL* handle, const char* database, common::StrBuf& statement);
void list_functions_statement(Tunnel& tunnel, MYSQL* handle, const char* database, common::StrBuf& statement);
void list_events_statement(Tunnel& tunnel, MYSQL* handle, const char* database, common::StrBuf& statement);
// The full-tables form from 5.0.10 on (but not for INFORMATION_SCHEMA), else "show tables".
void list_tables_statement(Tunnel& tunnel, MYSQL* handle, const char* database, common::StrBuf& statement);

// The storage engine of database.table into engine ("Type" on servers before 4.1), 1; 0
// when the table or the column is missing. row_estimate, when given, receives the
// server's estimate of the table's rows from the same answer (0 when it has none).
int table_engine(Tunnel& tunnel, MYSQL* handle, const char* database, const char* table, common::StrBuf& engine,
                 std::uint64_t* row_estimate = nullptr);

}  // namespace kro::connection

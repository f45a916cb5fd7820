#include "connection/helper_queries.h"

#include <algorithm>
#include <cstdlib>
#include <strings.h>

#include "connection/kept_session.h"
#include "connection/result_ptr.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "connection/tunnel.h"

using namespace kro::common;

namespace kro::connection {

namespace {

// The server's answer for a routine that does not exist (or that the user may not see).
constexpr unsigned int kNoSuchRoutine = 1305;

int show_create_routine(Tunnel& tunnel, MYSQL* handle, const char* kind_sql, const char* kind_text,
                        const char* database, const char* name, StrBuf& definition,
                        StrBuf& error_text, StrBuf* statement_out) {
    StrBuf statement;
    statement.format("show create %s `%s`.`%s`", kind_sql, escape_identifier(database).c_str(),
                     escape_identifier(name).c_str());
    if (statement_out) statement_out->copy_from(statement);
    ResultPtr result = query_with_reconnect(tunnel, handle, statement.c_str(), 0);
    MYSQL_ROW row = result ? tunnel.fetch_row(result.get()) : nullptr;
    if (!result && statement_failed(tunnel, handle) && tunnel.error_number(handle) != kNoSuchRoutine) {
        error_text.format("Error No. %d\n%s", static_cast<int>(tunnel.error_number(handle)), tunnel.error(handle));
        return 0;
    }
    if (!row) {
        error_text.format("%s '%s' doesn't exists!", kind_text, name);
        return 0;
    }
    if (tunnel.num_fields(result.get()) < 3 || !row[2]) {
        error_text.assign("Unable to retrieve information. Please check your permission.", 1);
        return 0;
    }
    definition.assign(row[2], 1);
    return 1;
}

// The given column of a result's first row, or null when there is none.
const char* first_row_column(Tunnel& tunnel, ResultPtr& result, unsigned int column) {
    if (!result || tunnel.num_fields(result.get()) <= column) return nullptr;
    MYSQL_ROW row = tunnel.fetch_row(result.get());
    return row ? row[column] : nullptr;
}

void list_routines_statement(Tunnel& tunnel, MYSQL* handle, const char* database, const char* type,
                             StrBuf& statement) {
    statement.format("select `SPECIFIC_NAME` from `INFORMATION_SCHEMA`.`ROUTINES` where `ROUTINE_SCHEMA` = "
                     "'%s' and ROUTINE_TYPE = '%s'",
                     escape_literal(tunnel, handle, database).c_str(), type);
}

}  // namespace

namespace {

constexpr char kPacketQuery[] = "show variables like 'max_allowed_packet'";

long allowance_of(Tunnel& tunnel, ResultPtr result) {
    const char* value = first_row_column(tunnel, result, 1);
    if (!value) return 0;
    return static_cast<long>(std::strtoll(value, nullptr, 10) * 5 / 7168);
}

}  // namespace

long packet_allowance(Tunnel& tunnel, MYSQL*& handle) {
    return allowance_of(tunnel, query_with_reconnect(tunnel, handle, kPacketQuery, 1));
}

long packet_allowance(KeptSession& session) { return allowance_of(session.tunnel(), session.query(kPacketQuery)); }

long statement_byte_limit(long kb) {
    constexpr long kMaxStatementBytes = 16777216;
    return std::min(std::max(kb, 0L) * 1024, kMaxStatementBytes);
}

int column_index(Tunnel& tunnel, TunnelResult* result, const char* name) {
    if (!result || !name) return -1;
    unsigned int count = tunnel.num_fields(result);
    MYSQL_FIELD* fields = tunnel.fetch_fields(result);
    for (unsigned int i = 0; fields && i < count; ++i) {
        if (fields[i].name && strcasecmp(fields[i].name, name) == 0) return static_cast<int>(i);
    }
    return -1;
}

int show_create_function(Tunnel& tunnel, MYSQL* handle, const char* database, const char* name,
                         StrBuf& definition, StrBuf& error_text, StrBuf* statement) {
    return show_create_routine(tunnel, handle, "function", "Function", database, name, definition,
                               error_text, statement);
}

int show_create_procedure(Tunnel& tunnel, MYSQL* handle, const char* database, const char* name,
                          StrBuf& definition, StrBuf& error_text, StrBuf* statement) {
    return show_create_routine(tunnel, handle, "procedure", "Procedure", database, name, definition,
                               error_text, statement);
}

std::uint64_t count_rows(Tunnel& tunnel, MYSQL* handle, const char* database, const char* table,
                         const char* condition) {
    StrBuf statement;
    const bool filtered = condition && *condition;
    statement.format("select count(*)from `%s`.`%s`%s%s", escape_identifier(database).c_str(),
                     escape_identifier(table).c_str(), filtered ? " where " : "", filtered ? condition : "");
    ResultPtr result = query_with_reconnect(tunnel, handle, statement.c_str(), 0);
    const char* value = first_row_column(tunnel, result, 0);
    return value ? std::strtoull(value, nullptr, 10) : 0;
}

void list_views_statement(Tunnel& tunnel, MYSQL* handle, const char* database, StrBuf& statement) {
    statement.format("select `TABLE_NAME` from `INFORMATION_SCHEMA`.`TABLES` where `TABLE_SCHEMA` = '%s' "
                     "and `TABLE_TYPE` = 'VIEW'",
                     escape_literal(tunnel, handle, database).c_str());
}

void list_procedures_statement(Tunnel& tunnel, MYSQL* handle, const char* database, StrBuf& statement) {
    list_routines_statement(tunnel, handle, database, "PROCEDURE", statement);
}

void list_functions_statement(Tunnel& tunnel, MYSQL* handle, const char* database, StrBuf& statement) {
    list_routines_statement(tunnel, handle, database, "FUNCTION", statement);
}

void list_events_statement(Tunnel& tunnel, MYSQL* handle, const char* database, StrBuf& statement) {
    statement.format("select `EVENT_NAME` from `INFORMATION_SCHEMA`.`EVENTS` where `EVENT_SCHEMA` = '%s' "
                     "order by EVENT_NAME",
                     escape_literal(tunnel, handle, database).c_str());
}

void list_tables_statement(Tunnel& tunnel, MYSQL* handle, const char* database, StrBuf& statement) {
    StrBuf name = escape_identifier(database);
    if (server_at_least_5_0_10(tunnel, handle) && strcasecmp(database, "INFORMATION_SCHEMA") != 0)
        statement.format("show full tables from `%s` where table_type = 'BASE TABLE'", name.c_str());
    else
        statement.format("show tables from `%s`", name.c_str());
}

int table_engine(Tunnel& tunnel, MYSQL* handle, const char* database, const char* table, StrBuf& engine,
                 std::uint64_t* row_estimate) {
    StrBuf statement;
    statement.format("show table status from `%s` like '%s'", escape_identifier(database).c_str(),
                     escape_like_literal(tunnel, handle, table).c_str());
    ResultPtr result = query_result(tunnel, handle, statement.c_str());
    if (!result) return 0;
    int column = column_index(tunnel, result.get(), server_at_least_4_1_0(tunnel, handle) ? "Engine" : "Type");
    int rows = row_estimate ? column_index(tunnel, result.get(), "Rows") : -1;
    MYSQL_ROW row = tunnel.fetch_row(result.get());
    if (row_estimate) *row_estimate = row && rows >= 0 && row[rows] ? std::strtoull(row[rows], nullptr, 10) : 0;
    if (column < 0 || !row || !row[column]) return 0;
    engine.assign(row[column], 1);
    return 1;
}

}  // namespace kro::connection

#include "export/dump_connection.h"

#include <cstdarg>

#include "common/sql_comment.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "platform/socket_reset.h"

using namespace kro::common;
using namespace kro::connection;

namespace kro::export_ {

std::string quoted(const std::string& name) { return escape_identifier(name).str(); }

std::string comment_name(const std::string& name) { return sql_comment_text(quoted(name)); }

namespace {

// The socket of a direct connection; -1 for the HTTP form or without a session.
int socket_of(const ServerConnection& server) {
    if (!server.handle || !server.tunnel || server.tunnel->is_http()) return -1;
    return static_cast<int>(mysql_get_socket(server.handle));
}

}  // namespace

void DumpConnection::reset_unless_closed() { platform::set_reset_on_close(socket_of(server_), true); }

void DumpConnection::close() {
    if (!cancelled()) platform::set_reset_on_close(socket_of(server_), false);
    server_.close();
}

void DumpConnection::record_connection_error() { error_text_.assign(server_.tunnel->error(server_.handle), 1); }

void DumpConnection::record_error(const char* text) { error_text_.assign(text, 1); }

ResultPtr DumpConnection::query(const char* text, int& ok) {
    ok = 0;
    if (cancelled()) {
        record_error("The export was cancelled.");
        return ResultPtr(nullptr, ResultDeleter{server_.tunnel.get()});
    }
    ResultPtr result = query_with_reconnect(*server_.tunnel, server_.handle, text, 0);
    if (!result && statement_failed(*server_.tunnel, server_.handle)) {
        record_connection_error();
        return result;
    }
    ok = 1;
    return result;
}

int DumpConnection::send(const char* text) {
    int ok = 0;
    query(text, ok);
    return ok;
}

int DumpConnection::send_format(const char* fmt, ...) {
    StrBuf text;
    va_list args;
    va_start(args, fmt);
    text.vformat_at(0, fmt, args);
    va_end(args);
    return send(text.c_str());
}

ResultPtr DumpConnection::show_create(const std::string& database, const std::string& name, MYSQL_ROW& row) {
    StrBuf statement;
    statement.format("show create table `%s`.`%s`", quoted(database).c_str(), quoted(name).c_str());
    int ok = 0;
    ResultPtr result = query(statement.c_str(), ok);
    row = ok && result ? server_.tunnel->fetch_row(result.get()) : nullptr;
    if (!row && ok) record_error("");
    return result;
}

// Over the HTTP tunnel each request is a session of its own, so the time zone the rows are
// read in goes with every page.
ResultPtr DumpConnection::select_rows(const char* statement) {
    Tunnel& tunnel = *server_.tunnel;
    if (!tunnel.is_http()) return query_result(tunnel, server_.handle, statement);
    std::string text = std::string(kUtcSession) + ";" + statement;
    ResultPtr none = query_result(tunnel, server_.handle, text.c_str());
    if (statement_failed(tunnel, server_.handle)) return none;
    none.reset();
    if (tunnel.next_result(server_.handle) != 0) return make_result(tunnel, nullptr);
    return make_result(tunnel, tunnel.use_result(server_.handle));
}

}  // namespace kro::export_

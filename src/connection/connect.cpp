#include "connection/connect.h"

#include <cstring>
#include <strings.h>

#include "common/out_of_memory.h"
#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "connection/connection_report.h"
#include "connection/server_version.h"
#include "connection/sql_quote.h"
#include "connection/ssh_tunnel.h"
#include "connection/statements.h"
#include "platform/stop_signals.h"

using namespace kro::common;

namespace kro::connection {

namespace {

constexpr unsigned long kDirectClientFlags = CLIENT_REMEMBER_OPTIONS | CLIENT_MULTI_RESULTS;

const char* text_or_null(const StrBuf& text) { return text.empty() ? nullptr : text.c_str(); }

// localhost, 127.0.0.0/8 written as an address, or ::1.
bool is_loopback_host(std::string_view host) {
    if (strcasecmp(std::string(host).c_str(), "localhost") == 0 || host == "::1" || host == "[::1]") return true;
    return host.starts_with("127.") && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

// A new session on the handle with the options it was made with (the client library's own
// reconnect, allowed for this one call). It refuses inside a transaction, which a new
// session could not continue.
bool reopen_session(MYSQL* handle) {
    const my_bool on = 1, off = 0;
    mysql_options(handle, MYSQL_OPT_RECONNECT, &on);
    const bool reopened = mariadb_reconnect(handle) == 0;
    mysql_options(handle, MYSQL_OPT_RECONNECT, &off);
    return reopened;
}

// Takes the database's character set for the connection, the client and the results.
void use_database_charset(Tunnel& tunnel, MYSQL* handle) {
    ResultPtr variables = query_with_reconnect(tunnel, handle, "show variables like '%character%'", 0);
    if (!variables) return;
    MYSQL_ROW row;
    while ((row = tunnel.fetch_row(variables.get())) != nullptr) {
        if (row[0] && strcasecmp(row[0], "character_set_database") == 0) break;
    }
    if (!row || !row[1]) return;
    static const char* const kPrefixes[] = {"Set character_set_connection=", "Set character_set_results=",
                                            "Set character_set_client="};
    StrBuf statement;
    for (const char* prefix : kPrefixes) {
        statement.format("%s%s", prefix, row[1]);
        ResultPtr ignored = query_with_reconnect(tunnel, handle, statement.c_str(), 0);
        if (!ignored && statement_failed(tunnel, handle)) break;
    }
}

}  // namespace

void ServerConnection::close() {
    if (tunnel && handle) tunnel->close(handle);
    handle = nullptr;
    version_failed = false;
}

void set_connect_options(const ConnectionInfo* info, Tunnel* tunnel, MYSQL* handle, int want_utf8) {
    if (!info || !tunnel || !handle || tunnel->is_http()) return;
    // "utf8" is three bytes wide on the server; utf8mb4 keeps every character.
    if (want_utf8 == 1) tunnel->options(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const my_bool reconnect_off = 0;
    tunnel->options(handle, MYSQL_OPT_RECONNECT, &reconnect_off);
    const unsigned connect_timeout = kConnectTimeoutSeconds;
    tunnel->options(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    if (wants_compression(*info)) tunnel->options(handle, MYSQL_OPT_COMPRESS, nullptr);
    tunnel->options(handle, MYSQL_INIT_COMMAND, "/*!40101 SET SQL_MODE='' */");
    int wait_timeout = info->wait_timeout.to_int();
    if (wait_timeout > 28800 || wait_timeout <= 0) wait_timeout = 28800;
    StrBuf command;
    command.format("/*!40101 set @@session.wait_timeout=%d */", wait_timeout);
    tunnel->options(handle, MYSQL_INIT_COMMAND, command.c_str());
}

std::unique_ptr<Tunnel> connect_server(const ConnectionInfo& info, MYSQL*& handle,
                                       std::unique_ptr<Tunnel> tunnel, const HttpTunnelSettings& http,
                                       const char* side, bool* version_failed) {
    if (platform::stop_requested()) return nullptr;  // the runner reports the stop
    if (!tunnel) tunnel = create_tunnel(info.use_http);
    if (!handle) handle = tunnel->init();
    if (!handle) out_of_memory();  // the library's handle allocation is all that can fail here

    tunnel->set_use_proxy(http.use_proxy);
    if (http.use_proxy)
        tunnel->set_proxy(http.proxy_host.c_str(), http.proxy_port, http.proxy_user.c_str(),
                          http.proxy_password.c_str());
    if (http.use_http_auth)
        tunnel->set_http_auth(true, http.http_auth_user.c_str(), http.http_auth_password.c_str());
    else
        tunnel->set_http_auth(false, nullptr, nullptr);
    tunnel->set_content_type(http.content_type.c_str());

    if (info.ssl && !tunnel->is_http()) {
        const char* key = info.ssl_auth ? text_or_null(info.ssl_client_key) : nullptr;
        const char* cert = info.ssl_auth ? text_or_null(info.ssl_client_cert) : nullptr;
        mysql_ssl_set(handle, key, cert, text_or_null(info.ssl_ca_cert), nullptr, text_or_null(info.ssl_cipher));
    }

    MYSQL* connected;
    if (tunnel->is_http()) {
        connected = tunnel->real_connect(handle, info.host.c_str(), info.user.c_str(), info.password.c_str(),
                                         nullptr, static_cast<unsigned>(info.port), nullptr,
                                         CLIENT_MULTI_RESULTS, info.tunnel_url.c_str());
    } else if (info.use_ssh) {
        // The forwarded port listens on 127.0.0.1; "localhost" would mean the unix socket here.
        const unsigned int tcp = MYSQL_PROTOCOL_TCP;
        tunnel->options(handle, MYSQL_OPT_PROTOCOL, &tcp);
        connected = tunnel->real_connect(handle, "127.0.0.1", info.user.c_str(), info.password.c_str(),
                                         nullptr, static_cast<unsigned>(info.local_port), nullptr,
                                         kDirectClientFlags, info.tunnel_url.c_str());
    } else {
        connected = tunnel->real_connect(handle, info.host.c_str(), info.user.c_str(), info.password.c_str(),
                                         nullptr, static_cast<unsigned>(info.port), nullptr,
                                         kDirectClientFlags, info.tunnel_url.c_str());
    }
    if (info.use_http) tunnel->set_timeout(info.http_timeout);

    if (connected && platform::stop_requested()) {
        // Connected while the stop shut every socket down: this one must not carry on the work.
        tunnel->close(handle);
        handle = nullptr;
        return nullptr;
    }
    if (!connected) {
        if (!platform::stop_requested())
            report_connection_error(*tunnel, handle, side ? server_place(info, side) : std::string());
        tunnel->close(handle);
        handle = nullptr;
        return nullptr;
    }
    if (!tunnel->fetch_server_version(handle)) {
        if (version_failed) *version_failed = true;
        return tunnel;
    }
    if (!info.database.empty()) select_database(info.database.c_str(), handle, *tunnel);
    return tunnel;
}

int open_connection(ServerConnection& conn, const ConnectionInfo& info, const HttpTunnelSettings& http,
                    const ConnectSetup& setup) {
    conn.close();
    std::unique_ptr<Tunnel> tunnel = create_tunnel(info.use_http);
    MYSQL* handle = tunnel->init();
    if (!handle) out_of_memory();  // the library's handle allocation is all that can fail here
    if (tunnel->is_http())
        tunnel->set_encode_data(setup.encode_data && http.encode_data);
    else
        set_connect_options(&info, tunnel.get(), handle, setup.want_utf8);
    conn.version_failed = false;
    conn.tunnel = connect_server(info, handle, std::move(tunnel), http, setup.side, &conn.version_failed);
    if (!conn.tunnel) return 0;
    conn.handle = handle;
    return 1;
}

bool fetch_server_version(ServerConnection& conn) {
    return !conn.version_failed && conn.tunnel->fetch_server_version(conn.handle);
}

bool set_up_session(ServerConnection& conn, const ConnectionInfo& info) {
    Tunnel& tunnel = *conn.tunnel;
    if (!fetch_server_version(conn)) return false;
    set_connection_charset(tunnel, conn.handle, "utf8");
    select_database(info.database.c_str(), conn.handle, tunnel);
    if (server_at_least_5_0_10(tunnel, conn.handle)) query_with_reconnect(tunnel, conn.handle, "set sql_mode=''", 0);
    return true;
}

void set_connection_charset(Tunnel& tunnel, MYSQL* handle, const char* name) {
    if (!name) name = "";
    const bool wants_utf8 = strcasecmp(name, "utf8") == 0 && server_has_utf8mb4(tunnel, handle);
    if (tunnel.is_http()) {
        tunnel.set_charset(wants_utf8 ? "utf8mb4" : name);
        return;
    }
    if (!server_at_least_4_1_0(tunnel, handle)) return;
    if (*name && strcasecmp(name, "[default]") != 0) {
        StrBuf statement;
        statement.format("set names '%s'",
                         wants_utf8 ? "utf8mb4" : escape_literal(tunnel, handle, name).c_str());
        query_with_reconnect(tunnel, handle, statement.c_str(), 0);
        return;
    }
    use_database_charset(tunnel, handle);
}

int select_database(const char* database, MYSQL* handle, Tunnel& tunnel) {
    StrBuf statement;
    statement.format("use `%s`", escape_identifier(database ? database : "").c_str());
    if (execute(tunnel, handle, statement.c_str(), static_cast<unsigned long>(statement.length()), 0) != 0)
        return 0;
    ResultPtr result = make_result(tunnel, tunnel.store_result(handle, 0, 0, 0));
    if (!result && statement_failed(tunnel, handle)) return 0;
    result.reset();
    tunnel.set_current_db(database);
    return 1;
}

bool wants_compression(const ConnectionInfo& info) {
    if (info.compressed != 1) return false;
    if (info.compressed_given || info.use_ssh || info.use_http) return true;
    return !is_loopback_host(info.host.view());
}

bool reconnect(Tunnel& tunnel, MYSQL*& handle, ConnectionInfo* info, const char* database) {
    if (platform::stop_requested()) return false;
    // Behind an SSH tunnel the helper may be what broke: it is replaced first.
    if (info && info->use_ssh && !restart_ssh_tunnel(*info)) return false;
    if (!tunnel.is_http() && !reopen_session(handle)) return false;
    if (database && select_database(database, handle, tunnel) == 0) return false;
    if (!tunnel.is_http()) return true;
    if (tunnel.fetch_server_version(handle)) return true;
    tunnel.close(handle);
    handle = nullptr;
    return false;
}

}  // namespace kro::connection

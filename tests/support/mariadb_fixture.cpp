#include "mariadb_fixture.h"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>
#include <mysql.h>

#include "connection/statements.h"
#include "kro_test_support.h"

using namespace kro::connection;

namespace {

struct MysqlCloser {
    void operator()(MYSQL* handle) const { mysql_close(handle); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlCloser>;

struct ResultCloser {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using MysqlResultPtr = std::unique_ptr<MYSQL_RES, ResultCloser>;

[[noreturn]] void fail(const std::string& what, MYSQL* handle) {
    std::string text = what + ": " + mysql_error(handle);
    ADD_FAILURE() << text;
    throw std::runtime_error(text);
}

MysqlPtr open_connection() {
    MysqlPtr handle(mysql_init(nullptr));
    mysql_options(handle.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    const std::string host = service_value("MARIADB_HOST");
    const std::string user = service_value("MARIADB_USER");
    const std::string password = service_value("MARIADB_PASSWORD");
    const unsigned port = static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT")));
    if (!mysql_real_connect(handle.get(), host.c_str(), user.c_str(), password.c_str(), nullptr, port, nullptr,
                            CLIENT_MULTI_STATEMENTS))
        fail("cannot connect to the test MariaDB", handle.get());
    return handle;
}

}  // namespace

ConnectionInfo mariadb_connection_info() {
    ConnectionInfo info;
    reset_connection_info(info);
    info.host.assign(service_value("MARIADB_HOST").c_str(), 1);
    info.port = std::stoi(service_value("MARIADB_PORT"));
    info.user.assign(service_value("MARIADB_USER").c_str(), 1);
    info.password.assign(service_value("MARIADB_PASSWORD").c_str(), 1);
    return info;
}

void mariadb_exec(const std::string& sql) {
    MysqlPtr handle = open_connection();
    if (mysql_real_query(handle.get(), sql.data(), sql.size()) != 0) fail("setup SQL failed (" + sql + ")", handle.get());
    do {
        MysqlResultPtr ignored(mysql_store_result(handle.get()));
    } while (mysql_next_result(handle.get()) == 0);
    if (mysql_errno(handle.get()) != 0) fail("setup SQL failed (" + sql + ")", handle.get());
}

std::string mariadb_value(const std::string& sql) {
    MysqlPtr handle = open_connection();
    if (mysql_real_query(handle.get(), sql.data(), sql.size()) != 0) fail("query failed (" + sql + ")", handle.get());
    MysqlResultPtr result(mysql_store_result(handle.get()));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return row && row[0] ? row[0] : "";
}

bool connect_direct(ServerConnection& connection, const ConnectionInfo& info, int want_utf8,
                    std::unique_ptr<Tunnel> tunnel) {
    connection.close();
    connection.tunnel = tunnel ? std::move(tunnel) : create_tunnel(0);
    connection.handle = connection.tunnel->init();
    set_connect_options(&info, connection.tunnel.get(), connection.handle, want_utf8);
    connection.tunnel = connect_server(info, connection.handle, std::move(connection.tunnel), HttpTunnelSettings{});
    return connection.tunnel != nullptr;
}

std::string connection_value(ServerConnection& connection, const char* sql) {
    ResultPtr result = query_with_reconnect(*connection.tunnel, connection.handle, sql, 0);
    MYSQL_ROW row = result ? connection.tunnel->fetch_row(result.get()) : nullptr;
    return row && row[0] ? row[0] : "";
}

// Connecting through the HTTP tunnel the way the jobs do (connect_server with the HTTP
// settings of a job file), then using the session routines over it.
#include <gtest/gtest.h>

#include <string>

#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/sql_quote.h"
#include "connection/statements.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

using namespace kro::connection;

namespace {

ConnectionInfo http_info(const std::string& url_key, const char* database) {
    ConnectionInfo info = mariadb_connection_info();
    info.use_http = 1;
    info.tunnel_url.assign(service_value(url_key).c_str(), 1);
    info.http_timeout = 10000;
    info.database.assign(database, 1);
    return info;
}

}  // namespace

TEST(HttpConnectTest, ConnectServerOverTheTunnelSelectsTheDatabaseAndKeepsFourByteCharacters) {
    mariadb_exec("create database if not exists kro_http_connect character set utf8mb4;"
                 "create table if not exists kro_http_connect.words (id int primary key, w varchar(20));"
                 "delete from kro_http_connect.words");
    ConnectionInfo info = http_info("HTTP_TUNNEL_URL", "kro_http_connect");
    ServerConnection c;
    c.tunnel = connect_server(info, c.handle, nullptr, HttpTunnelSettings{});
    ASSERT_TRUE(c.tunnel);
    EXPECT_TRUE(c.tunnel->is_http());
    EXPECT_TRUE(c.tunnel->check_tunnel(c.handle)) << c.tunnel->error(c.handle);
    EXPECT_STREQ(c.tunnel->get_server_info(c.handle), mariadb_value("select version()").c_str());

    set_connection_charset(*c.tunnel, c.handle, "utf8");
    EXPECT_EQ(connection_value(c, "select database()"), "kro_http_connect");
    EXPECT_EQ(connection_value(c, "select @@character_set_client"), "utf8mb4");
    ResultPtr none = query_with_reconnect(*c.tunnel, c.handle,
                                          "insert into words values (1, 'smile \xF0\x9F\x98\x80')", 0);
    EXPECT_FALSE(none);
    EXPECT_FALSE(statement_failed(*c.tunnel, c.handle)) << c.tunnel->error(c.handle);
    EXPECT_EQ(mariadb_value("select w from kro_http_connect.words where id = 1"), "smile \xF0\x9F\x98\x80");
    EXPECT_EQ(connection_value(c, "select w from words where id = 1"), "smile \xF0\x9F\x98\x80");

    // The HTTP form never loses a connection; reconnecting re-selects and re-checks.
    EXPECT_TRUE(reconnect(*c.tunnel, c.handle, &info, "kro_http_connect"));
    EXPECT_EQ(connection_value(c, "select count(*) from words"), "1");
}

TEST(HttpConnectTest, ValuesAreEscapedForTheCharacterSetTheTunnelSpeaks) {
    // In gbk the bytes BF 5C are one character: escaped byte by byte, BF ' would become
    // BF \ ' and the quote would end the string.
    ServerConnection c;
    c.tunnel = connect_server(http_info("HTTP_TUNNEL_URL", ""), c.handle, nullptr, HttpTunnelSettings{});
    ASSERT_TRUE(c.tunnel);
    set_connection_charset(*c.tunnel, c.handle, "gbk");
    const std::string hostile = "\xBF' or 1=1 -- \xB0\xA1\xBF\\";
    const std::string sql = "select hex('" + escape_literal(*c.tunnel, c.handle, hostile).str() + "'), 'end'";
    ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, sql.c_str(), 0);
    MYSQL_ROW row = result ? c.tunnel->fetch_row(result.get()) : nullptr;
    ASSERT_NE(row, nullptr) << c.tunnel->error(c.handle);
    EXPECT_STREQ(row[0], "BF27206F7220313D31202D2D20B0A1BF5C");
    EXPECT_STREQ(row[1], "end");
}

TEST(HttpConnectTest, ProxyAndAuthenticationSettingsOfTheJobFileReachTheRequests) {
    mariadb_exec("create database if not exists kro_http_connect");
    HttpTunnelSettings http;
    http.use_proxy = true;
    http.proxy_host = service_value("HTTP_PROXY_HOST");
    http.proxy_port = std::stoi(service_value("HTTP_AUTH_PROXY_PORT"));
    http.proxy_user = service_value("HTTP_PROXY_USER");
    http.proxy_password = service_value("HTTP_PROXY_PASSWORD");
    http.use_http_auth = true;
    http.http_auth_user = service_value("HTTP_AUTH_USER");
    http.http_auth_password = service_value("HTTP_AUTH_PASSWORD");
    ServerConnection c;
    c.tunnel = connect_server(http_info("HTTP_AUTH_TUNNEL_URL", "kro_http_connect"), c.handle, nullptr, http);
    ASSERT_TRUE(c.tunnel);
    EXPECT_TRUE(c.tunnel->check_tunnel(c.handle)) << c.tunnel->error(c.handle);
    EXPECT_EQ(connection_value(c, "select database()"), "kro_http_connect");

    // The same without the HTTP credentials is refused.
    http.use_http_auth = false;
    ServerConnection refused;
    refused.tunnel = connect_server(http_info("HTTP_AUTH_TUNNEL_URL", ""), refused.handle, nullptr, http);
    ASSERT_TRUE(refused.tunnel);  // nothing is sent while connecting
    EXPECT_FALSE(refused.tunnel->check_tunnel(refused.handle));
    EXPECT_EQ(connection_value(refused, "select 1"), "");
    EXPECT_EQ(refused.tunnel->error_number(refused.handle), 401u);
}

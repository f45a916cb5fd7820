// Session set-up and statements on a live connection: character-set negotiation, four-byte
// characters, and what happens when the server drops the connection.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "connection/connect.h"
#include "connection/statements.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

using namespace kro::connection;

namespace {

std::string charsets(ServerConnection& c) {
    return connection_value(c, "select concat_ws(',', @@character_set_client, @@character_set_connection, "
                               "@@character_set_results)");
}

// Runs the statement while another connection kills the session that runs it, as soon as
// it runs.
ResultPtr query_killed_midway(ServerConnection& c, const char* sql, int retry, ConnectionInfo* info,
                              const char* database) {
    std::thread killer([&] {
        try {
            const std::string running = "select id from information_schema.processlist where command = 'Query' "
                                        "and info = '" + std::string(sql) + "'";
            std::string id;
            for (int i = 0; i < 1000 && (id = mariadb_value(running)).empty(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            mariadb_exec("kill " + id);
        } catch (...) {  // already recorded as a test failure
        }
    });
    ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, sql, retry, 0, 0, info, database);
    killer.join();
    return result;
}

}  // namespace

TEST(SessionTest, CharsetNegotiationWithANameAndWithTheDatabaseDefault) {
    mariadb_exec("drop database if exists kro_latin; create database kro_latin character set latin1");
    ConnectionInfo info = mariadb_connection_info();
    info.database.assign("kro_latin", 1);
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(charsets(c), "utf8mb4,utf8mb4,utf8mb4");  // the connect option

    set_connection_charset(*c.tunnel, c.handle, "[DEFAULT]");
    EXPECT_EQ(charsets(c), "latin1,latin1,latin1");
    set_connection_charset(*c.tunnel, c.handle, "utf8");
    EXPECT_EQ(charsets(c), "utf8mb4,utf8mb4,utf8mb4");
    set_connection_charset(*c.tunnel, c.handle, "cp1250");
    EXPECT_EQ(charsets(c), "cp1250,cp1250,cp1250");
    set_connection_charset(*c.tunnel, c.handle, "");
    EXPECT_EQ(charsets(c), "latin1,latin1,latin1");
    // A name that tries to break out of its quotes is only a wrong name.
    set_connection_charset(*c.tunnel, c.handle, "utf8' , character_set_client='koi8r");
    EXPECT_EQ(charsets(c), "latin1,latin1,latin1");
    mariadb_exec("drop database kro_latin");
}

TEST(SessionTest, FourByteCharactersSurviveADirectConnection) {
    mariadb_exec("drop database if exists kro_emoji; create database kro_emoji character set utf8mb4;"
                 "create table kro_emoji.t (v varchar(20)) character set utf8mb4");
    ConnectionInfo info = mariadb_connection_info();
    info.database.assign("kro_emoji", 1);
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    set_connection_charset(*c.tunnel, c.handle, "utf8");
    const std::string emoji = "\xF0\x9F\x98\x80 caf\xC3\xA9";
    ResultPtr none = query_with_reconnect(*c.tunnel, c.handle, ("insert into t values ('" + emoji + "')").c_str(), 0);
    ASSERT_FALSE(statement_failed(*c.tunnel, c.handle)) << c.tunnel->error(c.handle);
    EXPECT_EQ(connection_value(c, "select v from t"), emoji);
    EXPECT_EQ(mariadb_value("select hex(v) from kro_emoji.t"), "F09F988020636166C3A9");
    mariadb_exec("drop database kro_emoji");
}

TEST(SessionTest, ConnectionLostMidStatementIsReconnectedOnlyWithRetry) {
    mariadb_exec("create database if not exists kro_reconnect");
    ConnectionInfo info = mariadb_connection_info();
    info.database.assign("kro_reconnect", 1);
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));

    ResultPtr failed = query_killed_midway(c, "select sleep(20)", 0, &info, "kro_reconnect");
    EXPECT_FALSE(failed);
    EXPECT_TRUE(statement_failed(*c.tunnel, c.handle));
    EXPECT_EQ(c.tunnel->error_number(c.handle), 2013u) << c.tunnel->error(c.handle);
    EXPECT_FALSE(session_alive(*c.tunnel, c.handle));  // and nothing opened a new one
    ASSERT_TRUE(query_with_reconnect(*c.tunnel, c.handle, "select 1", 1, 0, 0, &info, "kro_reconnect"));

    ResultPtr again = query_killed_midway(c, "select sleep(1), database()", 1, &info, "kro_reconnect");
    ASSERT_TRUE(again) << c.tunnel->error(c.handle);
    MYSQL_ROW row = c.tunnel->fetch_row(again.get());
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row[0], "0");  // the second attempt ran to its end
    EXPECT_STREQ(row[1], "kro_reconnect");
    again.reset();
    mariadb_exec("drop database kro_reconnect");
}

TEST(SessionTest, AnIdleSessionDroppedByTheServerComesBackOnlyWhenAskedFor) {
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, mariadb_connection_info()));
    const std::string id = connection_value(c, "select connection_id()");
    mariadb_exec("set @x = 1; kill " + id);
    // The client library does not open a new session behind the caller's back...
    EXPECT_EQ(connection_value(c, "select connection_id()"), "");
    EXPECT_FALSE(session_alive(*c.tunnel, c.handle));
    // ... only a caller that asks for it gets one.
    ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, "select connection_id()", 1);
    MYSQL_ROW row = result ? c.tunnel->fetch_row(result.get()) : nullptr;
    ASSERT_NE(row, nullptr) << c.tunnel->error(c.handle);
    EXPECT_NE(std::string(row[0]), id);
    result.reset();
    EXPECT_TRUE(session_alive(*c.tunnel, c.handle));
}

TEST(SessionTest, ServersBefore41GetNoCharsetStatementsAndLocaleText) {
    ConnectionInfo info = mariadb_connection_info();
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info, 1, std::make_unique<VersionTunnel>("4.0.27-log")));
    set_connection_charset(*c.tunnel, c.handle, "latin1");
    EXPECT_EQ(charsets(c), "utf8mb4,utf8mb4,utf8mb4");
    // The statement goes out in the locale's character set, UTF-8 in the C locale.
    const char* sql = "select hex(convert('\xC3\xA9' using binary))";
    EXPECT_EQ(connection_value(c, sql), "C3A9");
    ASSERT_TRUE(connect_direct(c, info, 1, std::make_unique<VersionTunnel>("4.1.0")));
    EXPECT_EQ(connection_value(c, sql), "C3A9");
}

// Connecting to the private MariaDB: the connection kinds a job file can ask for, and the
// report a failed connect leaves on the console, in the log and in the session file.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <cstdio>
#include <string>
#include <vector>

#include "connection/connect.h"
#include "connection/statements.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "report/process_state.h"

using namespace kro::report;
using namespace kro::connection;

namespace {

std::string status_value(ServerConnection& c, const char* name) {
    std::string sql = std::string("show session status like '") + name + "'";
    ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, sql.c_str(), 0);
    MYSQL_ROW row = result ? c.tunnel->fetch_row(result.get()) : nullptr;
    return row && row[1] ? row[1] : "";
}

}  // namespace

TEST(ConnectTest, PlainConnectionSelectsTheDatabaseAndSetsTheSession) {
    mariadb_exec("create database if not exists kro_connect_plain");
    ConnectionInfo info = mariadb_connection_info();
    info.database.assign("kro_connect_plain", 1);
    info.compressed = 0;
    info.wait_timeout.assign("600", 1);
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(connection_value(c, "select database()"), "kro_connect_plain");
    EXPECT_EQ(connection_value(c, "select @@session.sql_mode"), "");
    EXPECT_EQ(connection_value(c, "select @@session.wait_timeout"), "600");
    EXPECT_EQ(status_value(c, "Compression"), "OFF");
    EXPECT_EQ(status_value(c, "Ssl_cipher"), "");

    info.wait_timeout.assign("99999", 1);  // above the limit: the default instead
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(connection_value(c, "select @@session.wait_timeout"), "28800");
}

TEST(ConnectTest, LoopbackGoesUncompressedUnlessTheJobFileAsks) {
    ConnectionInfo info = mariadb_connection_info();  // 127.0.0.1, no compressed element
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(status_value(c, "Compression"), "OFF");
    info.compressed_given = 1;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(status_value(c, "Compression"), "ON");
    std::string expected;
    for (int i = 0; i < 50000; ++i) expected += "ab";
    EXPECT_EQ(connection_value(c, "select repeat('ab', 50000)"), expected);
}

// The connection's own escape takes a faster road for single-byte sets and UTF-8: it writes
// what the client library writes, for every byte pair and for random byte strings (broken
// UTF-8 included), with and without NO_BACKSLASH_ESCAPES, and in a set like gbk too.
TEST(ConnectTest, EscapingWritesWhatTheClientLibraryWritesInEveryCharacterSet) {
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, mariadb_connection_info()));
    std::vector<std::string> inputs;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b) inputs.push_back({static_cast<char>(a), static_cast<char>(b)});
    std::mt19937 random(29);
    for (int i = 0; i < 20000; ++i) {
        std::string text(random() % 24, '\0');
        for (char& byte : text) byte = static_cast<char>(random() % 4 ? 0x80 + random() % 0x80 : random() % 0x80);
        inputs.push_back(text);
    }
    std::vector<char> ours, library;
    for (const char* charset : {"utf8mb4", "utf8", "latin1", "binary", "gbk"}) {
        for (const char* mode : {"", "NO_BACKSLASH_ESCAPES"}) {
            ASSERT_EQ(mysql_set_character_set(c.handle, charset), 0) << charset;
            ASSERT_EQ(mysql_query(c.handle, (std::string("set session sql_mode = '") + mode + "'").c_str()), 0);
            ASSERT_EQ((c.handle->server_status & SERVER_STATUS_NO_BACKSLASH_ESCAPES) != 0, *mode != '\0');
            for (const std::string& text : inputs) {
                ours.assign(2 * text.size() + 1, 'x');
                library.assign(2 * text.size() + 1, 'y');
                unsigned long n = c.tunnel->real_escape_string(c.handle, ours.data(), text.data(), text.size());
                unsigned long m = mysql_real_escape_string(c.handle, library.data(), text.data(), text.size());
                ASSERT_EQ(std::string(ours.data(), n + 1), std::string(library.data(), m + 1)) << charset << " " << mode;
            }
        }
    }
}

TEST(ConnectTest, SslConnectionWithCaAndWithClientCertificate) {
    ConnectionInfo info = mariadb_connection_info();
    info.ssl = 1;
    info.ssl_ca_cert.assign(service_value("MARIADB_CA").c_str(), 1);
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_NE(status_value(c, "Ssl_cipher"), "");

    info.ssl_auth = 1;
    info.ssl_client_cert.assign(service_value("MARIADB_CLIENT_CERT").c_str(), 1);
    info.ssl_client_key.assign(service_value("MARIADB_CLIENT_KEY").c_str(), 1);
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_NE(status_value(c, "Ssl_cipher"), "");
    EXPECT_EQ(status_value(c, "Ssl_version").rfind("TLS", 0), 0u);
}

TEST(ConnectTest, SshServerIsReachedAtTheLocalPortOverTcpNeverAtItsHost) {
    ConnectionInfo info = mariadb_connection_info();
    info.use_ssh = 1;
    info.host.assign("db.behind.the.gateway.invalid", 1);
    info.local_port = info.port;
    info.port = 1;
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(connection_value(c, "select substring_index(host, ':', 1) from information_schema.processlist "
                                  "where id = connection_id()"),
              "127.0.0.1");
}

// Points the run's log and session files at temporary files.
class ConnectFailureTest : public testing::Test {
protected:
    void SetUp() override {
        log_file = std::fopen(dir.file("kro.log").c_str(), "a+");
        session_file = std::fopen(dir.file("session.xml").c_str(), "w");
        log_path = dir.file("kro.log");
    }
    void TearDown() override { close_files(); }
    void close_files() {
        if (log_file) std::fclose(log_file);
        if (session_file) std::fclose(session_file);
        log_file = session_file = nullptr;
    }
    // Connects and expects a failure; gives the console output.
    std::string failed_connect(const ConnectionInfo& info) {
        ServerConnection c;
        testing::internal::CaptureStdout();
        bool connected = connect_direct(c, info);
        std::string console = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(connected);
        EXPECT_EQ(c.handle, nullptr);  // closed by connect_server
        return console;
    }

    TempDir dir;
};

TEST_F(ConnectFailureTest, RefusedLoginIsReportedOnConsoleLogAndSessionFile) {
    ConnectionInfo info = mariadb_connection_info();
    info.password.assign("wrong password", 1);
    std::string console = failed_connect(info);
    close_files();
    const std::string text = "\r\nERROR: 1045, Access denied for user '" + service_value("MARIADB_USER") +
                             "'@'127.0.0.1' (using password: YES)";
    EXPECT_EQ(console, text + "\nCheck " + log_path + " for complete error details.\n");
    EXPECT_EQ(read_file(dir.file("kro.log")), text + "\n");
    EXPECT_EQ(read_file(dir.file("session.xml")), "<error>" + text + "</error>");
}

TEST_F(ConnectFailureTest, UnreachableServersAndBadCertificatesAreReportedWithTheirErrorNumber) {
    ConnectionInfo closed_port = mariadb_connection_info();
    closed_port.port = std::stoi(service_value("MARIADB_PORT")) == 1 ? 2 : 1;
    EXPECT_EQ(failed_connect(closed_port).rfind("\r\nERROR: 2002, ", 0), 0u);

    ConnectionInfo unknown_host = mariadb_connection_info();
    unknown_host.host.assign("no-such-host.invalid", 1);
    EXPECT_EQ(failed_connect(unknown_host).rfind("\r\nERROR: 2005, ", 0), 0u);

    ConnectionInfo missing_ca = mariadb_connection_info();
    missing_ca.ssl = 1;
    missing_ca.ssl_ca_cert.assign(dir.file("no-such-ca.pem").c_str(), 1);
    EXPECT_EQ(failed_connect(missing_ca).rfind("\r\nERROR: 2026, ", 0), 0u);

    close_files();
    std::string session = read_file(dir.file("session.xml"));
    EXPECT_NE(session.find("<error>\r\nERROR: 2002, "), std::string::npos);
    EXPECT_NE(session.find("<error>\r\nERROR: 2005, "), std::string::npos);
    EXPECT_NE(session.find("<error>\r\nERROR: 2026, "), std::string::npos);
}

TEST_F(ConnectFailureTest, AServerThatNeverGreetsFailsTheConnectInBoundedTime) {
    LoopbackListener listener;  // the kernel completes the connection; nobody ever greets
    ConnectionInfo silent = mariadb_connection_info();
    silent.port = listener.port;

    const auto started = std::chrono::steady_clock::now();
    const std::string console = failed_connect(silent);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(console.rfind("\r\nERROR: 2013, ", 0), 0u) << console;
    EXPECT_LT(waited, std::chrono::seconds(kConnectTimeoutSeconds + 15));
}

// The HTTP tunnel against the real tunnel script (php -S), its HTTPS front (stunnel, a
// self-signed expired certificate), the proxies (tinyproxy) and the HTTP authentication
// front, compared with the same statements sent directly to the private MariaDB.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/base64.h"
#include "connection/http_client.h"
#include "connection/http_tunnel.h"
#include "connection/tunnel_texts.h"
#include "kro_test_support.h"

using namespace kro::common;
using namespace kro::connection;

namespace {

using Row = std::vector<std::optional<std::string>>;

struct Rows {
    std::vector<std::string> names;
    std::vector<int> types;
    std::vector<Row> rows;
    bool operator==(const Rows&) const = default;
};

constexpr std::uint64_t kFailed = ~std::uint64_t{0};
constexpr char kDb[] = "kro_http_test";

struct MysqlCloser {
    void operator()(MYSQL* m) const { mysql_close(m); }
};
struct ResultFreer {
    void operator()(MYSQL_RES* r) const { mysql_free_result(r); }
};

// A direct connection through the client library, the reference for every comparison.
class Direct {
public:
    Direct() : mysql_(mysql_init(nullptr)) {
        mysql_options(mysql_.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
        unsigned port = static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT")));
        if (!mysql_real_connect(mysql_.get(), service_value("MARIADB_HOST").c_str(),
                                service_value("MARIADB_USER").c_str(), service_value("MARIADB_PASSWORD").c_str(),
                                nullptr, port, nullptr, CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS)) {
            ADD_FAILURE() << "direct connection failed: " << mysql_error(mysql_.get());
        }
    }
    MYSQL* get() { return mysql_.get(); }
    void run(const std::string& sql) {
        ASSERT_EQ(mysql_real_query(get(), sql.data(), sql.size()), 0) << sql << ": " << mysql_error(get());
        do {
            std::unique_ptr<MYSQL_RES, ResultFreer> r(mysql_store_result(get()));
        } while (mysql_next_result(get()) == 0);
    }
    Rows select(const std::string& sql) {
        Rows out;
        EXPECT_EQ(mysql_real_query(get(), sql.data(), sql.size()), 0) << mysql_error(get());
        std::unique_ptr<MYSQL_RES, ResultFreer> r(mysql_store_result(get()));
        if (!r) return out;
        unsigned n = mysql_num_fields(r.get());
        MYSQL_FIELD* f = mysql_fetch_fields(r.get());
        for (unsigned i = 0; i < n; ++i) {
            out.names.emplace_back(f[i].name);
            out.types.push_back(f[i].type);
        }
        while (MYSQL_ROW row = mysql_fetch_row(r.get())) {
            unsigned long* len = mysql_fetch_lengths(r.get());
            Row values;
            for (unsigned i = 0; i < n; ++i) {
                values.push_back(row[i] ? std::optional<std::string>(std::string(row[i], len[i])) : std::nullopt);
            }
            out.rows.push_back(values);
        }
        return out;
    }

private:
    std::unique_ptr<MYSQL, MysqlCloser> mysql_;
};

// An HttpTunnel with its handle, connected (values stored) to the private MariaDB.
struct Tunneled {
    std::unique_ptr<Tunnel> tunnel = std::make_unique<HttpTunnel>();
    MYSQL* handle = tunnel->init();

    explicit Tunneled(const std::string& url, const char* database = nullptr) {
        tunnel->real_connect(handle, service_value("MARIADB_HOST").c_str(), service_value("MARIADB_USER").c_str(),
                             service_value("MARIADB_PASSWORD").c_str(), database,
                             static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT"))), nullptr,
                             CLIENT_MULTI_RESULTS, url.c_str());
        tunnel->set_charset("utf8");
        tunnel->set_timeout(10000);
    }
    ~Tunneled() { tunnel->close(handle); }

    TunnelResult* query(const std::string& sql, bool encode = false) {
        EXPECT_EQ(tunnel->real_query(handle, sql.data(), sql.size(), encode), 0);
        return tunnel->store_result(handle, 1, 0, 0);
    }
    Rows rows_of(TunnelResult* r) {
        Rows out;
        if (!r) return out;
        unsigned n = tunnel->num_fields(r);
        MYSQL_FIELD* f = tunnel->fetch_fields(r);
        for (unsigned i = 0; i < n; ++i) {
            out.names.emplace_back(f[i].name);
            out.types.push_back(f[i].type);
        }
        while (MYSQL_ROW row = tunnel->fetch_row(r)) {
            unsigned long* len = tunnel->fetch_lengths(r);
            Row values;
            for (unsigned i = 0; i < n; ++i) {
                values.push_back(row[i] ? std::optional<std::string>(std::string(row[i], len[i])) : std::nullopt);
            }
            out.rows.push_back(values);
        }
        tunnel->free_result(r);
        return out;
    }
    Rows select(const std::string& sql, bool encode = false) {
        TunnelResult* r = query(sql, encode);
        EXPECT_TRUE(r) << sql << ": " << tunnel->error_number(handle) << " " << tunnel->error(handle);
        return rows_of(r);
    }
};

std::string test_url(const std::string& page) { return service_value("HTTP_TEST_URL") + "/" + page; }

std::string canned_url(const std::string& body, const std::string& extra = "") {
    std::string encoded = base64_encode(body);
    std::string escaped;
    for (char c : encoded) escaped += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
    return test_url("canned.php?body=" + escaped + extra);
}

// What echo.php saw of a request: its path, method, content type, user agent, the agent
// header, the Base64 header and the body.
struct Seen {
    std::string uri, method, content_type, user_agent, agent_header, base64_header, body;
};

std::optional<Seen> seen(Tunneled& t, TunnelResult* r) {
    Rows rows = t.rows_of(r);
    if (rows.rows.size() != 1 || rows.rows[0].size() != 7) return std::nullopt;
    const Row& v = rows.rows[0];
    return Seen{*v[0], *v[1], *v[2], *v[3], *v[4], *v[5], *v[6]};
}

class HttpTunnelData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Direct d;
        d.run(std::string("drop database if exists ") + kDb + "; create database " + kDb +
              " character set utf8mb4; use " + kDb +
              "; create table t (id int primary key, b blob, s varchar(40), n int null, e varchar(5),"
              " d decimal(10,2), dt datetime, en enum('x','y'), c char(3), f double)"
              "; insert into t values (1, x'00FF0041000D0A', 'O''Brien <&> \\\\', null, '', 12.50,"
              " '2024-02-29 13:14:15', 'y', 'ab', 1.5),"
              " (2, '', 'emoji \xF0\x9F\x98\x80 \xC3\xA9', 7, 'x', -0.01, null, null, '', null),"
              " (3, null, '', 0, '', 0, '1000-01-01 00:00:00', 'x', 'zzz', -2e10)");
    }
    const std::string kSelect = std::string("select * from ") + kDb + ".t order by id";
};

}  // namespace

TEST_F(HttpTunnelData, EveryFrontGivesTheSameRowsAsADirectConnection) {
    Direct direct;
    Rows expected = direct.select(kSelect);
    ASSERT_EQ(expected.rows.size(), 3u);
    struct Front {
        const char* name;
        std::string url;
        bool proxy, proxy_auth, http_auth;
    } fronts[] = {
        {"http", service_value("HTTP_TUNNEL_URL"), false, false, false},
        {"https", service_value("HTTPS_TUNNEL_URL"), false, false, false},
        {"proxy", service_value("HTTP_TUNNEL_URL"), true, false, false},
        {"https through the proxy", service_value("HTTPS_TUNNEL_URL"), true, false, false},
        {"proxy with credentials", service_value("HTTP_TUNNEL_URL"), true, true, false},
        {"http authentication", service_value("HTTP_AUTH_TUNNEL_URL"), false, false, true},
    };
    for (const Front& f : fronts) {
        SCOPED_TRACE(f.name);
        Tunneled t(f.url);
        if (f.proxy) {
            t.tunnel->set_use_proxy(true);
            std::string port = service_value(f.proxy_auth ? "HTTP_AUTH_PROXY_PORT" : "HTTP_PROXY_PORT");
            ASSERT_TRUE(t.tunnel->set_proxy(service_value("HTTP_PROXY_HOST").c_str(), std::stoi(port),
                                            service_value("HTTP_PROXY_USER").c_str(),
                                            service_value("HTTP_PROXY_PASSWORD").c_str()));
        }
        if (f.http_auth) {
            ASSERT_TRUE(t.tunnel->set_http_auth(true, service_value("HTTP_AUTH_USER").c_str(),
                                                service_value("HTTP_AUTH_PASSWORD").c_str()));
        }
        EXPECT_TRUE(t.tunnel->check_tunnel(t.handle)) << t.tunnel->error(t.handle);
        EXPECT_EQ(t.select(kSelect), expected);
        EXPECT_EQ(t.tunnel->affected_rows(t.handle), 3u);
        // Encoded queries and values travel in Base64 and give the same.
        t.tunnel->set_encode_data(true);
        EXPECT_EQ(t.select(kSelect + " /* \x01 */", true), expected);
    }
}

TEST_F(HttpTunnelData, ServerErrorsComeBackWithTheirNumberAndText) {
    Direct direct;
    const std::string bad = std::string("select nosuch from ") + kDb + ".t";
    EXPECT_NE(mysql_real_query(direct.get(), bad.data(), bad.size()), 0);
    Tunneled t(service_value("HTTP_TUNNEL_URL"));
    EXPECT_EQ(t.query(bad), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), mysql_errno(direct.get()));
    EXPECT_STREQ(t.tunnel->error(t.handle), mysql_error(direct.get()));
    EXPECT_EQ(t.tunnel->affected_rows(t.handle), kFailed);

    // A wrong password is the server's error as well.
    Tunneled wrong(service_value("HTTP_TUNNEL_URL"));
    wrong.tunnel->real_connect(wrong.handle, service_value("MARIADB_HOST").c_str(), "kro", "wrong", nullptr,
                               static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT"))), nullptr, 0,
                               service_value("HTTP_TUNNEL_URL").c_str());
    EXPECT_EQ(wrong.query("select 1"), nullptr);
    EXPECT_EQ(wrong.tunnel->error_number(wrong.handle), 1045u);
}

TEST_F(HttpTunnelData, AnEmptyStatementFailsAsItDoesDirectly) {
    Direct direct;
    EXPECT_NE(mysql_real_query(direct.get(), "", 0), 0);
    Tunneled t(service_value("HTTP_TUNNEL_URL"), kDb);
    ASSERT_NE(t.select(kSelect).rows.size(), 0u);  // a statement with rows before it
    EXPECT_NE(t.tunnel->real_query(t.handle, "", 0), 0);
    EXPECT_EQ(t.tunnel->store_result(t.handle, 1, 0, 0), nullptr);
    EXPECT_EQ(t.tunnel->affected_rows(t.handle), kFailed);
    EXPECT_EQ(t.tunnel->error_number(t.handle), mysql_errno(direct.get()));
    EXPECT_STREQ(t.tunnel->error(t.handle), mysql_error(direct.get()));
}

TEST_F(HttpTunnelData, StatementsReportAffectedRowsAndVersion) {
    Direct direct;
    direct.run(std::string("create table if not exists ") + kDb + ".ai (id int auto_increment primary key, v int)");
    Tunneled t(service_value("HTTP_TUNNEL_URL"), kDb);
    EXPECT_EQ(t.query("insert into ai (v) values (1),(2),(3)"), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), 0u);
    EXPECT_EQ(t.tunnel->affected_rows(t.handle), 3u);

    ASSERT_TRUE(t.tunnel->fetch_server_version(t.handle));
    EXPECT_STREQ(t.tunnel->get_server_info(t.handle), mysql_get_server_info(direct.get()) +
                 (std::string(mysql_get_server_info(direct.get())).starts_with("5.5.5-") ? 6 : 0));
    EXPECT_EQ(mysql_get_server_version(t.handle), mysql_get_server_version(direct.get()));
}

TEST_F(HttpTunnelData, ABatchGoesOutAsOneRequestWithItsPreambleAndGivesOneResultPerStatement) {
    Direct direct;
    direct.run(std::string("create table if not exists ") + kDb + ".batch (id int primary key, v varchar(10))");
    direct.run(std::string("delete from ") + kDb + ".batch");
    Tunneled t(service_value("HTTP_TUNNEL_URL"), kDb);
    const std::string statements[] = {"insert into batch values (0, 'zero')", "insert into batch values (2, 'a;b')",
                                      "select id, v from batch order by id"};
    for (const std::string& s : statements) {
        ASSERT_EQ(t.tunnel->real_query(t.handle, s.data(), s.size(), false, true, false, nullptr, 1), 0);
        TunnelResult* queued = t.tunnel->store_result(t.handle, 1, 0, 0);  // nothing sent yet
        ASSERT_NE(queued, nullptr);
        EXPECT_EQ(t.tunnel->num_fields(queued), 0u);
        t.tunnel->free_result(queued);
    }
    EXPECT_EQ(direct.select(std::string("select count(*) from ") + kDb + ".batch").rows[0][0], "0");
    std::vector<Rows> results;
    std::vector<std::uint64_t> affected;
    TunnelResult* r = t.tunnel->store_result(t.handle, 1, 1, 0);
    for (;;) {
        affected.push_back(t.tunnel->affected_rows(t.handle));
        results.push_back(t.rows_of(r));
        if (t.tunnel->next_result(t.handle) != 0) break;
        r = t.tunnel->store_result(t.handle, 1, 0, 0);
    }
    ASSERT_EQ(results.size(), 7u);  // four preamble statements, then ours
    for (int i = 0; i < 4; ++i) EXPECT_NE(affected[i], kFailed);
    EXPECT_EQ(affected[4], 1u);
    EXPECT_EQ(affected[5], 1u);
    // NO_AUTO_VALUE_ON_ZERO from the preamble kept the 0.
    EXPECT_EQ(results[6], direct.select(std::string("select id, v from ") + kDb + ".batch order by id"));
    EXPECT_EQ(results[6].rows.size(), 2u);
    EXPECT_EQ(results[6].rows[0][0], "0");
}

TEST(HttpTunnelRequest, ABatchOfThreeIsOneRequestWithThePreambleAndEachStatementDelimited) {
    Tunneled t(test_url("echo.php"));
    for (const char* s : {"insert a", "insert b", "insert c"}) {
        t.tunnel->real_query(t.handle, s, strlen(s), false, true, false, nullptr, 0);
        t.tunnel->free_result(t.tunnel->store_result(t.handle, 1, 0, 0));
    }
    auto got = seen(t, t.tunnel->store_result(t.handle, 1, 1, 0));
    ASSERT_TRUE(got);
    const std::string query = "SET @OLD_SQL_NOTES=0;SET @OLD_SQL_MODE=&apos;&apos;;SET @OLD_FOREIGN_KEY_CHECKS=0;"
                              "SET @OLD_UNIQUE_CHECKS=0;insert a;insert b;insert c;";
    const std::size_t unescaped_length = query.size() - 2 * (sizeof "&apos;" - 2);
    EXPECT_NE(got->body.find("<query b='1' e='0'>" + query + "</query><querylen>" + std::to_string(unescaped_length) +
                             "</querylen>"),
              std::string::npos)
        << got->body;
}

TEST(HttpTunnelRequest, ABatchLongerThan65535BytesIsSentAtOnce) {
    Tunneled t(test_url("echo.php"));
    std::string small = "select 'x'";
    t.tunnel->real_query(t.handle, small.data(), small.size(), false, true, false, nullptr, 0);
    TunnelResult* queued = t.tunnel->store_result(t.handle, 1, 0, 0);
    EXPECT_EQ(t.tunnel->num_fields(queued), 0u);
    t.tunnel->free_result(queued);

    std::string big = "select '" + std::string(65536 - 9, 'y') + "'";
    ASSERT_EQ(big.size(), 65536u);
    t.tunnel->real_query(t.handle, big.data(), big.size(), false, true, false, nullptr, 0);
    auto got = seen(t, t.tunnel->store_result(t.handle, 1, 0, 0));
    ASSERT_TRUE(got);
    EXPECT_NE(got->body.find(std::string(65536 - 9, 'y')), std::string::npos);
}

TEST(HttpTunnelRequest, AStatementWhoseRequestFailedDoesNotTravelWithTheNextBatch) {
    Tunneled t(test_url("nosuch.php"));
    EXPECT_EQ(t.query("delete from lost"), nullptr);  // 404
    // The same tunnel, now pointed at the echo page: a batch starts afresh.
    t.tunnel->real_connect(t.handle, service_value("MARIADB_HOST").c_str(), service_value("MARIADB_USER").c_str(),
                           service_value("MARIADB_PASSWORD").c_str(), nullptr,
                           static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT"))), nullptr,
                           CLIENT_MULTI_RESULTS, test_url("echo.php").c_str());
    const std::string s = "insert a";
    t.tunnel->real_query(t.handle, s.data(), s.size(), false, true, false, nullptr, 0);
    auto got = seen(t, t.tunnel->store_result(t.handle, 1, 1, 0));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->body.find("lost"), std::string::npos) << got->body;
    EXPECT_NE(got->body.find("<query b='1' e='0'>SET @OLD_SQL_NOTES=0;"), std::string::npos) << got->body;
}

TEST(HttpTunnelRequest, MarkupIsEscapedAndEncodedQueriesTravelInBase64WithTheirHeader) {
    Tunneled t(test_url("echo.php?first=1&second=two"));
    t.tunnel->set_content_type("text/xml; charset=utf-8");
    auto got = seen(t, t.query("select '<a&b>\x01'"));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->uri, "/echo.php?first=1&second=two");
    EXPECT_EQ(got->method, "POST");
    EXPECT_EQ(got->content_type, "text/xml; charset=utf-8");
    EXPECT_EQ(got->user_agent, "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322)");
    EXPECT_EQ(got->agent_header, "Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.7.5) Gecko/20041107 Firefox/1.0");
    EXPECT_EQ(got->base64_header, "");
    EXPECT_NE(got->body.find("<query b='0' e='0'>select &apos;&lt;a&amp;b&gt;&#x1;&apos;</query><querylen>15</querylen>"),
              std::string::npos) << got->body;

    got = seen(t, t.query("select '\xC3\xA9'", true));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->base64_header, "yes");
    EXPECT_NE(got->body.find("<query b='0' e='1'>" + base64_encode("select '\xC3\xA9'") + "</query>"), std::string::npos);
}

TEST(HttpTunnelAnswer, StatusErrorsVersionMismatchAndStatementsWithoutResultSet) {
    Tunneled t(test_url("nosuch.php"));
    EXPECT_EQ(t.query("select 1"), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), 0u);
    EXPECT_STREQ(t.tunnel->error(t.handle), "The server has not found anything matching the requested URI.");
    EXPECT_EQ(t.tunnel->affected_rows(t.handle), kFailed);

    Tunneled other(canned_url("<xml><r v='8.06'><e_i/><a_r>1</a_r></r></xml>"));
    EXPECT_EQ(other.query("select 1"), nullptr);
    EXPECT_EQ(other.tunnel->error_number(other.handle), 3u);
    EXPECT_STREQ(other.tunnel->error(other.handle), tunnel_text::kVersionMismatch);

    Tunneled no_rows(canned_url("<xml><r v='8.05'><e_i/><a_r>42</a_r><f_i c='0'></f_i></r></xml>"));
    EXPECT_EQ(no_rows.query("update x"), nullptr);
    EXPECT_EQ(no_rows.tunnel->error_number(no_rows.handle), 0u);
    EXPECT_EQ(no_rows.tunnel->affected_rows(no_rows.handle), 42u);
    EXPECT_STREQ(no_rows.tunnel->get_server_info(no_rows.handle), "3.23.58");

    Tunneled broken(canned_url("<html><body>Parse error</body>"));
    EXPECT_EQ(broken.query("select 1"), nullptr);
    EXPECT_EQ(broken.tunnel->error_number(broken.handle), 1u);
    EXPECT_STREQ(broken.tunnel->error(broken.handle), tunnel_text::kUnusableAnswer);
}

TEST(HttpTunnelCheck, EachAnswerOfTheVersionCheckHasItsError) {
    struct Case {
        std::string body;
        unsigned error;
        std::string text;
    } cases[] = {
        {"", 5, tunnel_text::kNoCheckAnswer},
        {"<b>Warning</b>", 3, std::string(tunnel_text::kVersionMismatch) + "\nReceived: <b>Warning</b>"},
        {"  tunnelversion:PHP_VERSION_ERROR", 6, tunnel_text::kPhpTooOld},
        {"TunnelVersion:PHP_MODULE_NOT_INSTALLED", 7, tunnel_text::kPhpLacksMysql},
        {"TunnelVersion:7.30", 3, tunnel_text::kVersionMismatch},
    };
    for (const Case& c : cases) {
        Tunneled t(canned_url(c.body));
        EXPECT_FALSE(t.tunnel->check_tunnel(t.handle)) << c.body;
        EXPECT_EQ(t.tunnel->error_number(t.handle), c.error) << c.body;
        EXPECT_EQ(t.tunnel->error(t.handle), c.text);
    }
    Tunneled ok(canned_url("\r\nTunnelVersion:8.05"));
    EXPECT_TRUE(ok.tunnel->check_tunnel(ok.handle));

    Tunneled missing(test_url("nosuch.php"));
    EXPECT_FALSE(missing.tunnel->check_tunnel(missing.handle));
    EXPECT_EQ(missing.tunnel->error_number(missing.handle), 0u);
    EXPECT_STREQ(missing.tunnel->error(missing.handle), http_status_text(404));
}

TEST(HttpTunnelTransport, CredentialsThatAreRefusedThreeTimesFailTheRequest) {
    HttpClient client;
    ASSERT_TRUE(client.set_url(service_value("HTTP_AUTH_TUNNEL_URL").c_str()));
    ASSERT_TRUE(client.set_http_auth(true, service_value("HTTP_AUTH_USER").c_str(), "wrong"));
    long status = 0;
    EXPECT_FALSE(client.send("x", 1, false, &status, true));
    EXPECT_EQ(status, 401);

    Tunneled t(service_value("HTTP_AUTH_TUNNEL_URL"));
    EXPECT_EQ(t.query("select 1"), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), 401u);
    EXPECT_STREQ(t.tunnel->error(t.handle), tunnel_text::kAuthorization);

    Tunneled proxied(service_value("HTTP_TUNNEL_URL"));
    proxied.tunnel->set_use_proxy(true);
    proxied.tunnel->set_proxy(service_value("HTTP_PROXY_HOST").c_str(), std::stoi(service_value("HTTP_AUTH_PROXY_PORT")),
                              "nobody", "wrong");
    EXPECT_EQ(proxied.query("select 1"), nullptr);
    // tinyproxy answers wrong proxy credentials with 401, missing ones with 407.
    unsigned error = proxied.tunnel->error_number(proxied.handle);
    EXPECT_TRUE(error == 401 || error == 407) << error;
    EXPECT_STREQ(proxied.tunnel->error(proxied.handle), tunnel_text::kAuthorization);
}

TEST(HttpTunnelTransport, AServerThatNeverAnswersTimesOut) {
    // A listening socket that is never accepted: the kernel completes the connection
    // and the request is sent, but no answer ever comes.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/tunnel.php";

    HttpClient client;
    ASSERT_TRUE(client.set_url(url.c_str()));
    client.set_timeout(1000);
    long status = -1;
    EXPECT_FALSE(client.send("x", 1, false, &status, false)) << client.last_error();
    EXPECT_EQ(status, 0);

    Tunneled t(url);
    t.tunnel->set_timeout(1000);
    EXPECT_EQ(t.query("select 1"), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), 1u);
    EXPECT_STREQ(t.tunnel->error(t.handle), tunnel_text::kCannotConnect);
    close(fd);
}

// Bytes this process has received so far on its TCP connections to the given loopback port.
std::uint64_t bytes_received_from(int port) {
    std::uint64_t total = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != port)
            continue;
        tcp_info info{};
        socklen_t size = sizeof info;
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) total += info.tcpi_bytes_received;
    }
    return total;
}

TEST(HttpTunnelTransport, TheStopFlagEndsTheReadingOfAnAnswer) {
    const std::string base = test_url("");
    const int port = std::stoi(base.substr(base.rfind(':') + 1));
    Tunneled t(test_url("canned.php?stall=20"));
    std::atomic<bool> stop{false};
    // The flag is raised once the start of the answer has arrived, while the script stalls
    // before the rest.
    std::thread stopper([&stop, port] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (bytes_received_from(port) == 0 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        stop = true;
    });
    const char* q = "select 1";
    t.tunnel->real_query(t.handle, q, strlen(q), false, false, false, &stop, 0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(t.tunnel->store_result(t.handle, 1, 0, 0), nullptr);
    stopper.join();
    EXPECT_EQ(t.tunnel->error_number(t.handle), 4u);
    EXPECT_STREQ(t.tunnel->error(t.handle), tunnel_text::kStopped);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
}

TEST(HttpTunnelTransport, AnUnusableUrlOrClosedPortCannotConnect) {
    HttpClient client;
    EXPECT_FALSE(client.set_url("no scheme here"));
    EXPECT_FALSE(HttpClient().set_url("ftp://127.0.0.1/x"));

    Tunneled t("http://127.0.0.1:1/tunnel.php");
    EXPECT_EQ(t.query("select 1"), nullptr);
    EXPECT_EQ(t.tunnel->error_number(t.handle), 1u);
    EXPECT_FALSE(t.tunnel->check_tunnel(t.handle));
    EXPECT_STREQ(t.tunnel->error(t.handle), tunnel_text::kCannotConnect);
}

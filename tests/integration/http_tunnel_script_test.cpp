// The tunnel script as a public web server exposes it: under php -S (set up like a careless
// host, LOAD DATA LOCAL allowed), each test with a copy of the script and settings of its
// own, attacked the way a security review did it.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "connection/http_tunnel.h"
#include "connection/tunnel_request.h"
#include "connection/tunnel_texts.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

using namespace kro::connection;

namespace {

constexpr unsigned kReadTimedOut = 2006;  // mysqlnd: "MySQL server has gone away"
constexpr unsigned kNotAllowed = 1130;

std::string mariadb_port() { return service_value("MARIADB_PORT"); }

// A folder of the test web server with a copy of the script and, when given, its
// settings file (the PHP array the file returns); removed at the end of its scope.
class ScriptFolder {
public:
    explicit ScriptFolder(const std::string& settings = "") {
        static int count = 0;
        name_ = "script-" + std::to_string(getpid()) + "-" + std::to_string(++count);
        path_ = service_value("HTTP_DOCROOT") + "/" + name_;
        std::filesystem::create_directories(path_);
        std::filesystem::copy_file(std::string(KRO_SOURCE_DIR) + "/tunnel/VelmarTunnel.php", path_ + "/VelmarTunnel.php");
        if (!settings.empty()) write_file(path_ + "/tunnel-config.php", "<?php\nreturn " + settings + ";\n");
    }
    ~ScriptFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string url() const { return service_value("HTTP_TEST_URL") + "/" + name_ + "/VelmarTunnel.php"; }

private:
    std::string name_, path_;
};

// A loopback port that takes connections into its backlog and never says a word, like a
// Redis or memcached waiting for a command.
class SilentListener {
public:
    explicit SilentListener(int family) : fd_(socket(family, SOCK_STREAM, 0)) {
        sockaddr_storage address{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *a;
        }
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ~SilentListener() { close(fd_); }
    std::string port() const { return std::to_string(port_); }
    // Whether anyone connected.
    bool reached() const {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }

private:
    int fd_;
    int port_ = 0;
};

// What kro's HttpTunnel made of each result of one request.
struct Outcome {
    unsigned error = 0;
    std::string text;
    std::vector<std::string> names;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

std::vector<Outcome> through_tunnel(const std::string& url, const std::string& host, const std::string& port,
                                    const std::string& sql, const char* charset = "utf8") {
    HttpTunnel http;
    Tunnel& tunnel = http;
    std::unique_ptr<MYSQL, std::function<void(MYSQL*)>> handle(tunnel.init(), [&](MYSQL* h) { tunnel.close(h); });
    tunnel.real_connect(handle.get(), host.c_str(), service_value("MARIADB_USER").c_str(),
                        service_value("MARIADB_PASSWORD").c_str(), nullptr, static_cast<unsigned>(std::stoul(port)),
                        nullptr, CLIENT_MULTI_RESULTS, url.c_str());
    tunnel.set_charset(charset);
    tunnel.set_timeout(30000);
    std::vector<Outcome> outcomes;
    tunnel.real_query(handle.get(), sql.data(), sql.size());
    TunnelResult* r = tunnel.store_result(handle.get(), 1);
    for (;;) {
        Outcome o{tunnel.error_number(handle.get()), tunnel.error(handle.get()), {}, {}};
        if (r) {
            unsigned n = tunnel.num_fields(r);
            for (unsigned i = 0; i < n; ++i) o.names.emplace_back(tunnel.fetch_fields(r)[i].name);
            while (MYSQL_ROW row = tunnel.fetch_row(r)) {
                auto& values = o.rows.emplace_back();
                for (unsigned i = 0; i < n; ++i) {
                    if (row[i]) values.emplace_back(std::string(row[i], tunnel.fetch_lengths(r)[i]));
                    else values.emplace_back();
                }
            }
            tunnel.free_result(r);
        }
        outcomes.push_back(o);
        if (tunnel.next_result(handle.get()) != 0) break;
        r = tunnel.store_result(handle.get());
    }
    return outcomes;
}

Outcome first_outcome(const std::string& url, const std::string& host, const std::string& port, const std::string& sql,
                      const char* charset = "utf8") {
    return through_tunnel(url, host, port, sql, charset).at(0);
}

// One HTTP exchange as a browser or an attacker would make it.
struct Reply {
    long status = 0;
    std::string headers, body;
};

Reply exchange(const std::string& url, const std::optional<std::string>& post_body,
               const std::vector<std::string>& header_lines = {}) {
    Reply reply;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    curl_slist* list = nullptr;
    for (const std::string& h : header_lines) list = curl_slist_append(list, h.c_str());
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(list, curl_slist_free_all);
    auto append = +[](char* data, size_t size, size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    };
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    if (post_body) {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, post_body->data());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post_body->size()));
    }
    EXPECT_EQ(curl_easy_perform(curl.get()), CURLE_OK) << url;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

// The request kro would send for the statement to the private MariaDB.
std::string request_for(const std::string& sql, const char* charset = "utf8") {
    std::string host = service_value("MARIADB_HOST"), user = service_value("MARIADB_USER"),
                password = service_value("MARIADB_PASSWORD");
    TunnelRequest r;
    r.host = host;
    r.user = user;
    r.password = password;
    r.charset = charset;
    r.port = std::stoi(mariadb_port());
    r.query = sql;
    return build_tunnel_request(r);
}

bool has_header(const Reply& r, const std::string& line) {
    return r.headers.find(line + "\r\n") != std::string::npos;
}

}  // namespace

// Without credentials, a request could hold a PHP worker for a day on a silent port of an
// allowed host, and refused, banner and silent ports answered differently (a port scan).
TEST(HttpTunnelScript, ReachesOnlyAllowedHostsAndPortsAndGivesUpOnASilentServer) {
    SilentListener silent(AF_INET), silent6(AF_INET6), unlisted(AF_INET);
    ScriptFolder folder("array('allow' => array('127.0.0.1:" + mariadb_port() + "', '127.0.0.1:" + silent.port() +
                        "', '[::1]:" + silent6.port() + "'), 'read_timeout' => 1)");
    Outcome ok = first_outcome(folder.url(), "127.0.0.1", mariadb_port(), "select 42");
    EXPECT_EQ(ok.error, 0u) << ok.text;
    ASSERT_EQ(ok.rows.size(), 1u);
    EXPECT_EQ(ok.rows[0][0], "42");

    // Allowed but silent: the script gives up after its read time-out, long before kro's.
    Outcome quiet = first_outcome(folder.url(), "127.0.0.1", silent.port(), "select 1");
    EXPECT_EQ(quiet.error, kReadTimedOut) << quiet.text;
    EXPECT_TRUE(silent.reached());
    Outcome quiet6 = first_outcome(folder.url(), "::1", silent6.port(), "select 1");
    EXPECT_EQ(quiet6.error, kReadTimedOut) << quiet6.text;
    EXPECT_TRUE(silent6.reached());

    // Another port of an allowed host: refused without a connection.
    Outcome refused = first_outcome(folder.url(), "127.0.0.1", unlisted.port(), "select 1");
    EXPECT_EQ(refused.error, kNotAllowed);
    EXPECT_EQ(refused.text, "Host '127.0.0.1' port " + unlisted.port() +
                                " is not allowed by the tunnel script's settings (allow in tunnel-config.php).");
    EXPECT_FALSE(unlisted.reached());
    // Another host, one that is no UTF-8 and holds a control byte: a well-formed text.
    Outcome odd = first_outcome(folder.url(), "caf\xE9\x01", mariadb_port(), "select 1");
    EXPECT_EQ(odd.error, kNotAllowed);
    EXPECT_EQ(odd.text.substr(0, 13), "Host 'caf\xC3\xA9?'");

    // Without a settings file only port 3306 of the web server itself is allowed.
    ScriptFolder defaults;
    EXPECT_EQ(first_outcome(defaults.url(), "127.0.0.1", mariadb_port(), "select 1").error, kNotAllowed);
}

TEST(HttpTunnelScript, LoadDataLocalCannotReadTheWebServersFiles) {
    mariadb_exec("create database if not exists kro_tunnel_script;"
                 "create table if not exists kro_tunnel_script.loaded (line text); delete from kro_tunnel_script.loaded");
    TempDir dir;
    write_file(dir.file("secret.conf"), "db_password=hunter2\n");
    Outcome load = first_outcome(service_value("HTTP_TUNNEL_URL"), "127.0.0.1", mariadb_port(),
                                 "load data local infile '" + dir.file("secret.conf") +
                                     "' into table kro_tunnel_script.loaded");
    EXPECT_NE(load.error, 0u);
    EXPECT_EQ(mariadb_value("select count(*) from kro_tunnel_script.loaded"), "0");

    // A PHP whose local_infile_directory would let the statement read files anyway: the
    // script refuses to run at all, and says so at the version check.
    ScriptFolder folder("array('allow' => array('127.0.0.1:" + mariadb_port() + "'))");
    RunResult check = run_program("/usr/bin/php", {"-d", "mysqli.local_infile_directory=" + dir.path(), "VelmarTunnel.php"},
                                  folder.path(), {"REQUEST_METHOD=POST", "QUERY_STRING=app=velmar&version=8.05"});
    EXPECT_EQ(check.out, "The tunnel script refuses to run while mysqli.local_infile_directory is set in php.ini: "
                         "it would let statements read files of the web server.");
}

// A web page must not be able to make a visitor's browser run statements (a text/plain
// form post once created a table), and bodies are limited before anything is parsed.
TEST(HttpTunnelScript, ServesOnlyPlainPostsOfKroWithinTheRequestLimit) {
    mariadb_exec("create database if not exists kro_tunnel_script; drop table if exists kro_tunnel_script.forged");
    ScriptFolder folder("array('allow' => array('127.0.0.1:" + mariadb_port() + "'), 'max_request_bytes' => 4096)");
    const std::string forged = request_for("create table kro_tunnel_script.forged (x int)");

    EXPECT_EQ(exchange(folder.url(), std::nullopt).status, 405);
    Reply get_check = exchange(folder.url() + "?app=velmar&version=8.05", std::nullopt);
    EXPECT_EQ(get_check.status, 405);
    EXPECT_TRUE(has_header(get_check, "Allow: POST")) << get_check.headers;
    EXPECT_EQ(exchange(folder.url(), forged, {"Origin: https://attacker.example"}).status, 403);
    EXPECT_EQ(exchange(folder.url(), forged, {"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: no-cors"}).status, 403);
    // An old browser's form with enctype text/plain: "name=value" and a line break.
    Reply form = exchange(folder.url(), forged + "=\r\n", {"Content-Type: text/plain"});
    EXPECT_EQ(form.status, 200);
    EXPECT_NE(form.body.find("<e_n>2027</e_n>"), std::string::npos) << form.body;
    EXPECT_EQ(mariadb_value("select count(*) from information_schema.tables where table_schema = 'kro_tunnel_script'"
                            " and table_name = 'forged'"),
              "0");

    Reply plain = exchange(folder.url(), request_for("select 1"), {"Content-Type: text/xml"});
    EXPECT_EQ(plain.status, 200);
    EXPECT_NE(plain.body.find("<r_i c='1'><r><c l='1'>MQ==</c></r></r_i>"), std::string::npos) << plain.body;
    EXPECT_TRUE(has_header(plain, "Cache-Control: no-store")) << plain.headers;
    EXPECT_TRUE(has_header(plain, "X-Content-Type-Options: nosniff"));
    EXPECT_EQ(plain.headers.find("X-Powered-By"), std::string::npos);

    Reply large = exchange(folder.url(), request_for("select '" + std::string(4096, 'x') + "'"));
    EXPECT_EQ(large.status, 413);
    Outcome through_kro = first_outcome(folder.url(), "127.0.0.1", mariadb_port(),
                                        "select '" + std::string(4096, 'x') + "'");
    EXPECT_EQ(through_kro.error, 0u);
    EXPECT_EQ(through_kro.text, http_status_text(413));
}

// Results larger than the first part of the answer go through a temporary file: the cap
// holds wherever it is crossed, and no file is left behind.
TEST(HttpTunnelScript, AnswersStopAtTheirCapAndLeaveNoTemporaryFile) {
    mariadb_exec("create database if not exists kro_tunnel_script;"
                 "use kro_tunnel_script; create or replace table wide (id int primary key, v text);"
                 "insert into wide select seq, repeat(char(65 + seq % 26), 500 + seq % 700)"
                 " from seq_1_to_4000");
    ScriptFolder folder("array('allow' => array('127.0.0.1:" + mariadb_port() + "'), 'max_answer_bytes' => 3000000)");
    const std::string part = "select id, v from kro_tunnel_script.wide where id <= 1500 order by id";
    std::vector<Outcome> fits = through_tunnel(folder.url(), "127.0.0.1", mariadb_port(), "select 1; " + part);
    ASSERT_EQ(fits.size(), 2u);
    ASSERT_EQ(fits[1].rows.size(), 1500u) << fits[1].text;
    EXPECT_EQ(fits[1].rows[1499][1], mariadb_value("select v from kro_tunnel_script.wide where id = 1500"));

    std::vector<Outcome> over = through_tunnel(folder.url(), "127.0.0.1", mariadb_port(),
                                               part + "; select * from kro_tunnel_script.wide; select 3");
    ASSERT_EQ(over.size(), 2u);  // the request ends at the cap
    EXPECT_EQ(over[0].rows.size(), 1500u);
    EXPECT_EQ(over[1].error, 2020u);
    EXPECT_EQ(over[1].text, "The answer would be larger than max_answer_bytes (3000000 bytes) of the tunnel script's settings.");
    EXPECT_TRUE(std::filesystem::is_empty(service_value("HTTP_TEMP_DIR")));
}

// Names and texts travel as XML text: control characters cannot, and texts in another
// character set than UTF-8 need the answer to say which. A strict parser reads the answer.
TEST(HttpTunnelScript, AnswersAreWellFormedXmlWhateverTheNamesHold) {
    const std::string sql = "select 1 as 'a\x01" "b', 2 as 'caf\xE9'";
    TempDir dir;
    write_file(dir.file("answer.xml"), exchange(service_value("HTTP_TUNNEL_URL"), request_for(sql, "latin1")).body);
    RunResult strict = run_program("/usr/bin/python3",
                                   {"-c", "import sys, xml.dom.minidom\n"
                                          "d = xml.dom.minidom.parse(sys.argv[1])\n"
                                          "print('|'.join(n.firstChild.data for n in d.getElementsByTagName('n')))",
                                    dir.file("answer.xml")},
                                   dir.path(), {"PYTHONIOENCODING=utf-8"});
    EXPECT_EQ(strict.exit_code, 0) << read_file(dir.file("answer.xml"));
    EXPECT_EQ(strict.out, "a?b|caf\xC3\xA9\n");
    // kro takes the texts' bytes as they are, as a latin1 connection gives them.
    Outcome o = first_outcome(service_value("HTTP_TUNNEL_URL"), "127.0.0.1", mariadb_port(), sql, "latin1");
    EXPECT_EQ(o.names, (std::vector<std::string>{"a?b", "caf\xE9"}));
}

// The HTTP tunnel keeps its connection to the web server (nginx with PHP-FPM, as a host
// runs the script) for reads, and never lets a statement that changes data run twice when
// a connection dies; the page size follows what the script announces.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection/http_tunnel.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"

using namespace kro::connection;

namespace {

int loopback_socket(int port, bool listening) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (listening) {
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) return -1;
    } else if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Forwards loopback TCP to the web server and counts the connections it carries. The first
// request that holds `cut_marker` is passed on, and once the server has begun to answer
// (the statement has run) its connection is closed without a byte of the answer reaching
// the client: the moment at which a client that re-sends would run it twice.
class CuttingProxy {
public:
    CuttingProxy(int upstream_port, std::string cut_marker)
        : upstream_port_(upstream_port), marker_(std::move(cut_marker)), listener_(loopback_socket(0, true)) {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        accepting_ = std::thread([this] { accept_loop(); });
    }
    ~CuttingProxy() {
        done_ = true;
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        accepting_.join();
        for (std::thread& t : pumps_) t.join();
    }
    int port() const { return port_; }
    int connections() const { return connections_; }
    bool cut() const { return cut_done_; }

private:
    void accept_loop() {
        while (!done_) {
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            ++connections_;
            std::lock_guard<std::mutex> lock(mutex_);
            pumps_.emplace_back([this, client] { pump(client); });
        }
    }

    void pump(int client) {
        int server = loopback_socket(upstream_port_, false);
        bool cutting = false;
        std::string seen;
        char buffer[65536];
        while (!done_ && server >= 0) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 200) <= 0) continue;
            if (fds[0].revents) {
                ssize_t n = read(client, buffer, sizeof buffer);
                if (n <= 0) break;
                seen.append(buffer, static_cast<std::size_t>(n));
                if (!cut_done_ && seen.find(marker_) != std::string::npos) cutting = true;
                if (seen.size() > marker_.size()) seen.erase(0, seen.size() - marker_.size());
                if (write(server, buffer, static_cast<std::size_t>(n)) != n) break;
            }
            if (fds[1].revents) {
                ssize_t n = read(server, buffer, sizeof buffer);
                if (n <= 0) break;
                if (cutting) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    cut_done_ = true;
                    break;
                }
                if (write(client, buffer, static_cast<std::size_t>(n)) != n) break;
            }
        }
        if (server >= 0) close(server);
        close(client);
    }

    int upstream_port_;
    std::string marker_;
    int listener_;
    int port_ = 0;
    std::atomic<bool> done_{false}, cut_done_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::thread accepting_;
    std::vector<std::thread> pumps_;
};

int url_port(const std::string& url) {
    std::size_t colon = url.find(':', url.find("//") + 2);
    return std::stoi(url.substr(colon + 1));
}

struct TunnelSession {
    explicit TunnelSession(const std::string& url) : handle(tunnel.init()) {
        tunnel.real_connect(handle, "127.0.0.1", service_value("MARIADB_USER").c_str(),
                            service_value("MARIADB_PASSWORD").c_str(), "kro_keepalive",
                            static_cast<unsigned>(std::stoi(service_value("MARIADB_PORT"))), nullptr, 0, url.c_str());
        tunnel.set_charset("utf8");
        tunnel.set_timeout(20000);
    }
    ~TunnelSession() { tunnel.close(handle); }
    // The first value of the statement's first row; "failed: ..." when it failed.
    std::string value(const std::string& statement) {
        Tunnel& t = tunnel;
        t.real_query(handle, statement.c_str(), statement.size());
        TunnelResult* result = t.store_result(handle);
        if (tunnel.affected_rows(handle) == ~std::uint64_t{0}) return "failed: " + std::string(tunnel.error(handle));
        MYSQL_ROW row = result ? tunnel.fetch_row(result) : nullptr;
        std::string text = row && row[0] ? row[0] : "";
        tunnel.free_result(result);
        return text;
    }
    HttpTunnel tunnel;
    MYSQL* handle;
};

class HttpKeepAliveTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mariadb_exec("drop database if exists kro_keepalive; create database kro_keepalive;"
                     "create table kro_keepalive.once (marker varchar(20)); set max_recursive_iterations = 100000;"
                     "create function kro_keepalive.f(m varchar(20)) returns int modifies sql data "
                     "begin insert into kro_keepalive.once values (m); return 1; end;"
                     "create table kro_keepalive.t (id int primary key, name varchar(40), data varbinary(64));"
                     "create table kro_keepalive.nokey (name varchar(40), data varbinary(64));"
                     "insert into kro_keepalive.t with recursive s(n) as (select 1 union all select n + 1 from s "
                     "where n < 5000) select n, concat('row ', n), unhex(md5(n)) from s;"
                     "insert into kro_keepalive.nokey select name, data from kro_keepalive.t;"
                     // Answers large enough to be timed: the tunnel tries compressed and
                     // plain answers on its first pages, so one dump holds pages of both.
                     "create table kro_keepalive.wide (id int primary key, body text);"
                     "insert into kro_keepalive.wide select id, repeat(concat(md5(id), ' it''s '), 30) "
                     "from kro_keepalive.t where id <= 4000");
    }
};

}  // namespace

TEST_F(HttpKeepAliveTest, ReadsShareOneConnectionAndAWriteCutAfterItRanIsNotSentAgain) {
    CuttingProxy proxy(url_port(service_value("FPM_TUNNEL_URL")), "kro_cut_me");
    TunnelSession s("http://127.0.0.1:" + std::to_string(proxy.port()) + "/VelmarTunnel.php");
    EXPECT_TRUE(s.tunnel.check_tunnel(s.handle)) << s.tunnel.error(s.handle);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.value("select count(*) from kro_keepalive.t"), "5000");
    EXPECT_EQ(proxy.connections(), 1) << "reads did not keep the connection";

    // Cut once the statement ran and before any answer byte: the client sees a failure
    // (the statement's outcome is unknown), and the row is there exactly once.
    std::string outcome = s.value("insert into kro_keepalive.once values ('kro_cut_me')");
    EXPECT_TRUE(proxy.cut());
    EXPECT_EQ(outcome.rfind("failed: ", 0), 0u) << outcome;
    EXPECT_EQ(s.value("select count(*) from kro_keepalive.once"), "1");
    // A batch travels on a connection of its own too; the kept one still serves reads.
    const int before = proxy.connections();
    std::string batch = "insert into kro_keepalive.once values ('batch')";
    Tunnel& t = s.tunnel;
    t.real_query(s.handle, batch.c_str(), batch.size(), false, true);
    t.free_result(t.store_result(s.handle, 0, 1));
    EXPECT_EQ(proxy.connections(), before + 1);
    EXPECT_EQ(s.value("select count(*) from kro_keepalive.once"), "2");
    EXPECT_EQ(proxy.connections(), before + 1);

    // A SELECT that calls a stored function by a quoted name is a write as well.
    CuttingProxy calling(url_port(service_value("FPM_TUNNEL_URL")), "kro_cut_call");
    TunnelSession c("http://127.0.0.1:" + std::to_string(calling.port()) + "/VelmarTunnel.php");
    EXPECT_EQ(c.value("select count(*) from kro_keepalive.once"), "2");  // a kept connection now
    outcome = c.value("select `f`('kro_cut_call')");
    EXPECT_TRUE(calling.cut());
    EXPECT_EQ(outcome.rfind("failed: ", 0), 0u) << outcome;
    EXPECT_EQ(c.value("select count(*) from kro_keepalive.once where marker = 'kro_cut_call'"), "1");
}

// An export through the script that announces larger pages, through a copy that does not
// (an older script: pages of 1000 rows) and directly gives the same dump, for a keyed and
// a keyless table, and for a table whose pages come compressed and plain.
TEST_F(HttpKeepAliveTest, LargerPagesOnlyWhenTheScriptAnnouncesThemAndDumpsStayTheSame) {
    const std::string docroot = service_value("HTTP_DOCROOT");
    const std::string folder = "older-" + std::to_string(getpid());
    std::filesystem::create_directories(docroot + "/" + folder);
    std::string script = read_file(docroot + "/VelmarTunnel.php");
    std::size_t at = script.find(" . ' max_answer_bytes=' . $settings['max_answer_bytes']");
    ASSERT_NE(at, std::string::npos);
    script.erase(at, std::string(" . ' max_answer_bytes=' . $settings['max_answer_bytes']").size());
    write_file(docroot + "/" + folder + "/VelmarTunnel.php", script);
    std::filesystem::copy_file(docroot + "/tunnel-config.php", docroot + "/" + folder + "/tunnel-config.php");
    const std::string older_url = service_value("FPM_TEST_URL") + "/" + folder + "/VelmarTunnel.php";

    {
        TunnelSession announcing(service_value("FPM_TUNNEL_URL")), older(older_url);
        for (TunnelSession* s : {&announcing, &older})
            ASSERT_EQ(s->value("select count(*) from (select * from kro_keepalive.t limit 1000) p"), "1000");
        announcing.value("select * from kro_keepalive.t limit 1000");
        older.value("select * from kro_keepalive.t limit 1000");
        EXPECT_GT(announcing.tunnel.next_page_rows(announcing.handle, 1000), 1000);
        EXPECT_EQ(older.tunnel.next_page_rows(older.handle, 1000), 1000);
    }

    auto dump = [](const std::string& tunnelinfo, const std::string& options) {
        TempDir dir;
        write_file(dir.file("job.xml"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob><source><host>127.0.0.1</host><port>" +
                       service_value("MARIADB_PORT") + "</port><user>" + service_value("MARIADB_USER") +
                       "</user><pwd>" + service_value("MARIADB_PASSWORD") + "</pwd>" + tunnelinfo +
                       "</source><export><databases><database name=\"kro_keepalive\"><objects all=\"yes\"/>"
                       "</database></databases><script>" + dir.file("dump.sql") + "</script></export><options>" +
                       options + "</options></exportjob></job>");
        RunResult r = run_kro({"job.xml"}, dir.path());
        std::string text = read_file(dir.file("dump.sql"));
        std::size_t end = text.rfind("\n-- Dump completed on ");
        return "exit " + std::to_string(r.exit_code) + "\n" + (end == std::string::npos ? text : text.substr(0, end));
    };
    auto http = [](const std::string& url) { return "<tunnelinfo type=\"http\"><url>" + url + "</url></tunnelinfo>"; };
    for (const std::string options : {"", "<chunkinsert>yes</chunkinsert><chunklimit>3000</chunklimit>"}) {
        const std::string direct = dump("", options);
        ASSERT_EQ(direct.rfind("exit 0\n", 0), 0u) << direct;
        EXPECT_EQ(dump(http(service_value("FPM_TUNNEL_URL")), options), direct) << options;
        EXPECT_EQ(dump(http(older_url), options), direct) << options;
    }
    std::filesystem::remove_all(docroot + "/" + folder);
}

// Web servers that never finish an answer: every request through the HTTP tunnel still ends.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "connection/http_tunnel.h"
#include "connection/tunnel_texts.h"
#include "kro_test_support.h"
#include "platform/unique_fd.h"

using namespace kro::platform;
using namespace kro::connection;

namespace {

// Answers each connection with a 200 header, then body bytes in pieces at a fixed pace
// for as long as the client reads.
class EndlessServer {
public:
    EndlessServer(std::size_t piece, std::chrono::milliseconds pace) : piece_(piece), pace_(pace) {
        thread_ = std::thread([this] { serve(); });
    }
    ~EndlessServer() {
        done_ = true;
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(listener_.port) + "/VelmarTunnel.php"; }

private:
    void serve() {
        while (!done_) {
            pollfd p{listener_.fd.get(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            UniqueFd client(accept(listener_.fd.get(), nullptr, nullptr));
            char request[65536];
            (void)read(client.get(), request, sizeof request);
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 1000000000\r\n\r\n";
            if (send(client.get(), head.data(), head.size(), MSG_NOSIGNAL) < 0) continue;
            const std::string body(piece_, 'x');
            while (!done_ && send(client.get(), body.data(), body.size(), MSG_NOSIGNAL) > 0)
                std::this_thread::sleep_for(pace_);
        }
    }

    LoopbackListener listener_;
    std::size_t piece_;
    std::chrono::milliseconds pace_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct TunnelTo {
    explicit TunnelTo(const std::string& url) {
        handle = tunnel.init();
        tunnel.real_connect(handle, "127.0.0.1", "u", "p", nullptr, 3306, nullptr, 0, url.c_str());
        tunnel.set_timeout(1000);
    }
    ~TunnelTo() { tunnel.close(handle); }
    HttpTunnel tunnel;
    MYSQL* handle = nullptr;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(HttpTunnelLimits, AnAnswerTrickledAByteAtATimeEndsWithinTenTimeOuts) {
    EndlessServer trickle(1, std::chrono::milliseconds(100));
    TunnelTo t(trickle.url());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(t.tunnel.real_query(t.handle, "select 1", 8, false, false, false, nullptr, 0), 0);
    EXPECT_EQ(t.tunnel.store_result(t.handle, 1, 0, 0), nullptr);
    EXPECT_STREQ(t.tunnel.error(t.handle), tunnel_text::kAnswerTooSlow);
    EXPECT_LT(seconds_since(started), 20.0);
}

TEST(HttpTunnelLimits, AnEndlessAnswerToTheCheckRequestIsCutOff) {
    EndlessServer flood(64 * 1024, std::chrono::milliseconds(0));
    TunnelTo t(flood.url());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(t.tunnel.check_tunnel(t.handle));
    EXPECT_STREQ(t.tunnel.error(t.handle), tunnel_text::kAnswerTooLarge);
    EXPECT_LT(seconds_since(started), 10.0);
}

std::string endless_page(const char* flood) { return service_value("HTTP_TEST_URL") + "/endless.php?flood=" + flood; }

TEST(HttpTunnelLimits, AnEndlessAnswerToTheVersionRequestOrALaterRequestEnds) {
    {
        TunnelTo t(endless_page("version"));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(t.tunnel.fetch_server_version(t.handle));
        EXPECT_STREQ(t.tunnel.error(t.handle), tunnel_text::kAnswerTooLarge);
        EXPECT_LT(seconds_since(started), 5.0);
    }
    TunnelTo t(endless_page("other"));
    ASSERT_TRUE(t.tunnel.fetch_server_version(t.handle)) << t.tunnel.error(t.handle);
    EXPECT_STREQ(t.tunnel.get_server_info(t.handle), "10.11.6");
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(t.tunnel.real_query(t.handle, "select 1", 8, false, false, false, nullptr, 0), 0);
    EXPECT_EQ(t.tunnel.store_result(t.handle, 1, 0, 0), nullptr);
    EXPECT_STREQ(t.tunnel.error(t.handle), tunnel_text::kAnswerTooSlow);
    EXPECT_LT(seconds_since(started), 20.0);
}

// The whole job against a server that floods every answer: it ends soon after its first
// request is cut off (no further request waits out its ten time-outs), and kro's memory
// stays far below what the flood would fill.
TEST(HttpTunnelLimits, AJobWhoseEveryAnswerIsEndlessEndsWithBoundedMemory) {
    TempDir dir;
    write_file(dir.file("job.xml"),
               "<?xml version=\"1.0\"?><job><notifyjob><source><host>127.0.0.1</host><port>3306</port>"
               "<user>u</user><pwd>p</pwd><database>d</database><tunnelinfo type=\"http\"><url>" +
                   endless_page("all") +
                   "</url><timeout>5</timeout></tunnelinfo></source><query>select 1</query>"
                   "<result value=\"no\"/></notifyjob></job>");
    const auto started = std::chrono::steady_clock::now();
    RunResult run = run_kro({"job.xml"}, dir.path());
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_NE(run.out.find(tunnel_text::kAnswerTooLarge), std::string::npos) << run.out;
    EXPECT_LT(seconds_since(started), 20.0);
    // The largest resident size of the children this program waited for: kro's.
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 64L * 1024) << "kB";
}

// A TCP forwarder on loopback that delays each direction by a set time and may limit its
// bandwidth, to measure what a network link's round trips and rate cost (kernel network
// emulation is not at hand).
//   latency_proxy LISTEN_PORT TARGET_PORT DELAY_MS [BYTES_PER_SECOND]   (ports on 127.0.0.1)
// Every chunk read from one side is written to the other DELAY_MS after it arrived, so
// each direction adds the delay once. With a rate, each direction of the link (shared by
// all connections, as one line is) carries at most that many bytes per second; without
// one, bandwidth is not limited. Runs until killed; on SIGTERM or SIGINT it writes the
// bytes it carried each way to standard error ("bytes up N down N") and ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender closed its side
};

// One direction of the link: when it is free to carry the next byte. Bytes go out in
// small pieces, so that a receiver sees a steady flow at the rate.
class Line {
public:
    explicit Line(double bytes_per_second) : rate_(bytes_per_second) {}

    // Waits until `bytes` that became due at `due` have crossed the line.
    void carry(Clock::time_point due, std::size_t bytes) {
        if (rate_ <= 0) return;
        Clock::time_point done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            free_at_ = std::max(free_at_, due) +
                       std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / rate_));
            done = free_at_;
        }
        std::this_thread::sleep_until(done);
    }
    bool limited() const { return rate_ > 0; }
    std::atomic<std::size_t> bytes{0};  // carried so far

    static constexpr std::size_t kPiece = 16384;

private:
    double rate_;
    std::mutex mutex_;
    Clock::time_point free_at_{};
};

// One direction of a connection: a reader stamps what arrives, a writer sends it when it is
// due and the line has carried it.
class Direction {
public:
    Direction(int from, int to, std::chrono::milliseconds delay, Line& line)
        : from_(from), to_(to), delay_(delay), line_(line) {}

    void run() {
        std::thread writer([this] { write_loop(); });
        char buffer[65536];
        for (;;) {
            ssize_t n = read(from_, buffer, sizeof buffer);
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back({Clock::now() + delay_, n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : ""});
            ready_.notify_one();
            if (n <= 0) break;
        }
        writer.join();
    }

private:
    void write_loop() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return !queue_.empty(); });
            Chunk chunk = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            std::this_thread::sleep_until(chunk.due);
            if (chunk.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                return;
            }
            line_.bytes += chunk.bytes.size();
            const std::size_t piece = line_.limited() ? Line::kPiece : chunk.bytes.size();
            for (std::size_t at = 0; at < chunk.bytes.size(); at += piece) {
                const std::size_t length = std::min(piece, chunk.bytes.size() - at);
                line_.carry(chunk.due, length);
                if (!write_all(chunk.bytes.data() + at, length)) {
                    shutdown(from_, SHUT_RD);  // the other side is gone: stop reading too
                    return;
                }
            }
        }
    }

    bool write_all(const char* data, std::size_t length) {
        for (std::size_t done = 0; done < length;) {
            ssize_t n = write(to_, data + done, length - done);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    int from_, to_;
    std::chrono::milliseconds delay_;
    Line& line_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Chunk> queue_;
};

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

void no_delay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void serve(int client, int target_port, std::chrono::milliseconds delay, Line* up_line, Line* down_line) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(target_port);
    if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        no_delay(client);
        no_delay(server);
        Direction up(client, server, delay, *up_line), down(server, client, delay, *down_line);
        std::thread t([&up] { up.run(); });
        down.run();
        t.join();
    }
    close(server);
    close(client);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS [BYTES_PER_SECOND]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // The end signals are taken by one thread of their own (the others inherit the mask).
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGTERM);
    sigaddset(&ends, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ends, nullptr);
    const int listen_port = std::atoi(argv[1]), target_port = std::atoi(argv[2]);
    const std::chrono::milliseconds delay(std::atoi(argv[3]));
    static Line up_line(argc == 5 ? std::atof(argv[4]) : 0), down_line(argc == 5 ? std::atof(argv[4]) : 0);
    std::thread([ends] {
        int signal = 0;
        sigwait(&ends, &signal);
        std::fprintf(stderr, "bytes up %zu down %zu\n", up_line.bytes.load(), down_line.bytes.load());
        std::_Exit(0);
    }).detach();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = loopback(listen_port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 64) != 0) {
        std::perror("latency_proxy: listen");
        return 1;
    }
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::thread(serve, client, target_port, delay, &up_line, &down_line).detach();
    }
}

// A TCP forwarder on loopback that delays each direction by a set time, to measure what a
// network link's round trips cost (kernel network emulation is not at hand).
//   latency_proxy LISTEN_PORT TARGET_PORT DELAY_MS     (both ports on 127.0.0.1)
// Every chunk read from one side is written to the other DELAY_MS after it arrived, so
// each direction adds the delay once and bandwidth is not limited. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// One direction: a reader stamps what arrives, a writer sends it when it is due.
class Direction {
public:
    Direction(int from, int to, std::chrono::milliseconds delay) : from_(from), to_(to), delay_(delay) {}

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
            for (std::size_t done = 0; done < chunk.bytes.size();) {
                ssize_t n = write(to_, chunk.bytes.data() + done, chunk.bytes.size() - done);
                if (n <= 0) {
                    shutdown(from_, SHUT_RD);  // the other side is gone: stop reading too
                    return;
                }
                done += static_cast<std::size_t>(n);
            }
        }
    }

    int from_, to_;
    std::chrono::milliseconds delay_;
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

void serve(int client, int target_port, std::chrono::milliseconds delay) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(target_port);
    if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        no_delay(client);
        no_delay(server);
        Direction up(client, server, delay), down(server, client, delay);
        std::thread t([&up] { up.run(); });
        down.run();
        t.join();
    }
    close(server);
    close(client);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s LISTEN_PORT TARGET_PORT DELAY_MS\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int listen_port = std::atoi(argv[1]), target_port = std::atoi(argv[2]);
    const std::chrono::milliseconds delay(std::atoi(argv[3]));
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
        std::thread(serve, client, target_port, delay).detach();
    }
}

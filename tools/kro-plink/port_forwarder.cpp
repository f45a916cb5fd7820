#include "port_forwarder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics.h"

using namespace kro::platform;

namespace kro::plink {

namespace {

// Bytes on their way in one direction, waiting until the receiver can take them.
class ByteQueue {
public:
    explicit ByteQueue(std::size_t capacity) : data_(capacity) {}
    bool empty() const { return head_ == tail_; }
    std::size_t size() const { return tail_ - head_; }
    // Room after the bytes held; they are moved to the front only when the end is reached.
    std::size_t space() {
        if (tail_ == data_.size()) compact();
        return data_.size() - tail_;
    }
    char* write_position() { return data_.data() + tail_; }
    void wrote(std::size_t n) { tail_ += n; }
    const char* read_position() const { return data_.data() + head_; }
    void consumed(std::size_t n) {
        head_ += n;
        if (head_ == tail_) head_ = tail_ = 0;
    }
    void append(const char* bytes, std::size_t n) {
        if (space() < n) data_.resize(tail_ + n);
        std::memcpy(write_position(), bytes, n);
        wrote(n);
    }

private:
    void compact() {
        if (head_ == 0) return;
        std::memmove(data_.data(), data_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    std::vector<char> data_;
    std::size_t head_ = 0, tail_ = 0;
};

constexpr std::size_t kToLocalCapacity = 256 * 1024;
constexpr std::size_t kReadChunk = 128 * 1024;

// One accepted connection and its channel.
struct Forward {
    UniqueFd socket;
    ssh_channel channel = nullptr;
    std::string peer_host;
    int peer_port = 0;
    bool open = false;          // the server accepted the channel
    bool local_eof = false;     // the local side finished sending; EOF passed on
    bool remote_eof = false;    // the far side finished sending
    bool local_shut = false;    // ... and that was passed on to the local side
    bool done = false;
    ByteQueue to_local{kToLocalCapacity};
    ByteQueue to_remote{0};

    Forward() = default;
    Forward(const Forward&) = delete;
    Forward& operator=(const Forward&) = delete;
    ~Forward() {
        if (channel) {
            if (ssh_channel_is_open(channel)) ssh_channel_close(channel);
            ssh_channel_free(channel);
        }
    }
};

struct EventDeleter {
    void operator()(ssh_event event) const { ssh_event_free(event); }
};

class PortForwarder {
public:
    PortForwarder(ssh_session session, int listener, const PlinkOptions& options)
        : session_(session), listener_(listener), options_(options), scratch_(kReadChunk) {}

    int run();

private:
    void accept_connections();
    void try_open(Forward& f);
    void read_local(Forward& f);
    bool write_remote(Forward& f);
    bool pump_remote_to_local(Forward& f);
    bool write_local(Forward& f);
    void finish_if_done(Forward& f);
    bool read_input();  // false: the helper must end

    ssh_session session_;
    int listener_;
    const PlinkOptions& options_;
    std::list<Forward> forwards_;
    std::vector<char> scratch_;
    std::string input_line_;
    // Out of descriptors: new connections wait in the backlog until one of ours ends.
    bool accepting_paused_ = false;
};

void set_nodelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Reads what standard input holds; false when it closed or a line "exit" arrived.
bool consume_input(std::string& line_buffer) {
    char buffer[256];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    line_buffer.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = line_buffer.find('\n')) != std::string::npos) {
        std::string line = line_buffer.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line_buffer.erase(0, end + 1);
        if (line == "exit") return false;
    }
    if (line_buffer.size() > 4096) line_buffer.clear();
    return true;
}

std::string pending_input;

}  // namespace

UniqueFd listen_on_loopback(int port, int& error) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), SOMAXCONN) != 0) {
        error = errno;
        fd.reset();
    }
    return fd;
}

bool input_still_open() {
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) return true;
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return true;
        if (!consume_input(pending_input)) return false;
        if (!(p.revents & POLLIN)) return true;
    }
}

int run_port_forwarding(ssh_session session, int listener, const PlinkOptions& options) {
    return PortForwarder(session, listener, options).run();
}

int PortForwarder::run() {
    ssh_set_blocking(session_, 0);
    // The session alone in its own event: a zero-time poll of it reads and handles
    // whatever the server sent (window changes, channel replies, data, keep-alives).
    std::unique_ptr<ssh_event_struct, EventDeleter> event(ssh_event_new());
    if (!event || ssh_event_add_session(event.get(), session_) != SSH_OK) {
        log_line("unable to watch the SSH session");
        return 1;
    }
    input_line_ = pending_input;
    bool input_open = true;
    std::vector<pollfd> fds;
    std::vector<Forward*> polled;
    for (;;) {
        fds.clear();
        polled.clear();
        short ssh_events = POLLIN;
        if (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING) ssh_events |= POLLOUT;
        fds.push_back({ssh_get_fd(session_), ssh_events, 0});
        fds.push_back({accepting_paused_ ? -1 : listener_, POLLIN, 0});
        fds.push_back({input_open ? STDIN_FILENO : -1, POLLIN, 0});
        for (Forward& f : forwards_) {
            short events = 0;
            if (f.open && !f.local_eof && f.to_remote.empty() && ssh_channel_window_size(f.channel) > 0)
                events |= POLLIN;
            if (!f.to_local.empty()) events |= POLLOUT;
            fds.push_back({f.socket.get(), events, 0});
            polled.push_back(&f);
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            log_line(std::string("poll failed: ") + std::strerror(errno));
            return 1;
        }
        if (fds[0].revents) {
            if (ssh_event_dopoll(event.get(), 0) == SSH_ERROR || !ssh_is_connected(session_)) {
                log_line(std::string("the SSH connection ended: ") + ssh_get_error(session_));
                return 1;
            }
        }
        if (fds[2].revents) {
            input_open = read_input();
            if (!input_open) return 0;
        }
        if (fds[1].revents & POLLIN) accept_connections();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Forward& f = *polled[i];
            short revents = fds[i + 3].revents;
            if (!f.open) try_open(f);
            if (f.open && (revents & (POLLIN | POLLHUP | POLLERR))) read_local(f);
            if (revents & POLLOUT) write_local(f);
        }
        // Channel opens that were waiting may have been answered by now, too.
        for (Forward& f : forwards_)
            if (!f.open && !f.done) try_open(f);
        // Move what arrived over SSH to the local sockets until nothing moves any more:
        // handling one channel may read packets for another.
        bool moved = true;
        while (moved) {
            moved = false;
            for (Forward& f : forwards_) {
                if (f.done) continue;
                moved |= write_remote(f);
                moved |= pump_remote_to_local(f);
            }
        }
        if (!ssh_is_connected(session_)) {
            log_line(std::string("the SSH connection ended: ") + ssh_get_error(session_));
            return 1;
        }
        for (Forward& f : forwards_) finish_if_done(f);
        std::size_t before = forwards_.size();
        forwards_.remove_if([](const Forward& f) { return f.done; });
        if (forwards_.size() < before || forwards_.empty()) accepting_paused_ = false;
    }
}

bool PortForwarder::read_input() { return consume_input(input_line_); }

void PortForwarder::accept_connections() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                log_line(std::string("not accepting connections for now: ") + std::strerror(errno));
                accepting_paused_ = true;
            }
            return;  // EAGAIN: all taken
        }
        Forward& f = forwards_.emplace_back();
        f.socket.reset(fd);
        set_nodelay(fd);
        char host[INET_ADDRSTRLEN] = "127.0.0.1";
        inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
        f.peer_host = host;
        f.peer_port = ntohs(peer.sin_port);
        f.channel = ssh_channel_new(session_);
        if (!f.channel) {
            log_line("unable to create an SSH channel");
            f.done = true;
            continue;
        }
        try_open(f);
    }
}

void PortForwarder::try_open(Forward& f) {
    if (f.open || f.done || !f.channel) return;
    int rc = ssh_channel_open_forward(f.channel, options_.forward_host.c_str(), options_.forward_port,
                                      f.peer_host.c_str(), f.peer_port);
    if (rc == SSH_AGAIN) return;
    if (rc == SSH_OK) {
        f.open = true;
        return;
    }
    log_line("forwarded connection to " + options_.forward_host + ":" +
             std::to_string(options_.forward_port) + " refused by the SSH server: " +
             ssh_get_error(session_));
    f.done = true;
}

void PortForwarder::read_local(Forward& f) {
    if (f.local_eof || !f.to_remote.empty()) return;
    std::size_t window = ssh_channel_window_size(f.channel);
    std::size_t want = std::min(window, scratch_.size());
    if (want == 0) return;
    ssize_t n = recv(f.socket.get(), scratch_.data(), want, 0);
    if (n > 0) {
        f.to_remote.append(scratch_.data(), static_cast<std::size_t>(n));
        write_remote(f);
    } else if (n == 0) {
        f.local_eof = true;
        if (ssh_channel_is_open(f.channel)) ssh_channel_send_eof(f.channel);
    } else if (errno != EAGAIN && errno != EINTR) {
        f.done = true;
    }
}

bool PortForwarder::write_remote(Forward& f) {
    if (f.to_remote.empty() || !f.open) return false;
    int n = ssh_channel_write(f.channel, f.to_remote.read_position(),
                              static_cast<uint32_t>(f.to_remote.size()));
    if (n < 0) {
        f.done = true;
        return false;
    }
    f.to_remote.consumed(static_cast<std::size_t>(n));
    return n > 0;
}

bool PortForwarder::pump_remote_to_local(Forward& f) {
    if (!f.open) return false;
    bool moved = false;
    while (!f.remote_eof && f.to_local.space() > 0) {
        int n = ssh_channel_read_nonblocking(f.channel, f.to_local.write_position(),
                                             static_cast<uint32_t>(f.to_local.space()), 0);
        if (n > 0) {
            f.to_local.wrote(static_cast<std::size_t>(n));
            moved = true;
        } else if (n == SSH_EOF || (n == 0 && ssh_channel_is_eof(f.channel))) {
            f.remote_eof = true;
        } else if (n < 0) {
            f.done = true;
            return moved;
        } else {
            break;
        }
    }
    moved |= write_local(f);
    return moved;
}

bool PortForwarder::write_local(Forward& f) {
    bool moved = false;
    while (!f.to_local.empty()) {
        ssize_t n = send(f.socket.get(), f.to_local.read_position(), f.to_local.size(), MSG_NOSIGNAL);
        if (n > 0) {
            f.to_local.consumed(static_cast<std::size_t>(n));
            moved = true;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        f.done = true;  // the local side is gone
        return moved;
    }
    if (f.remote_eof && f.to_local.empty() && !f.local_shut) {
        shutdown(f.socket.get(), SHUT_WR);
        f.local_shut = true;
    }
    return moved;
}

void PortForwarder::finish_if_done(Forward& f) {
    if (f.done || !f.open) return;
    bool remote_finished = f.local_shut && (f.local_eof || ssh_channel_is_closed(f.channel));
    if (remote_finished && f.to_remote.empty()) f.done = true;
}

}  // namespace kro::plink

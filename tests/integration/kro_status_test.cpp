// kro-status against the status block a job writes into: it creates the block, shows each
// new text on a line of its own, and removes the block when it is stopped; and while it
// runs, a real sync job publishes its status texts there.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "sync_fixture.h"
#include "platform/status_block.h"

using namespace kro::platform;

namespace {

// kro-status started with its standard output on a pipe, or on a pseudo-terminal, that
// the test reads piece by piece.
class Watcher {
public:
    explicit Watcher(bool terminal = false) {
        int out[2] = {-1, -1};
        if (terminal) {
            winsize size{};
            size.ws_row = 24;
            size.ws_col = 40;
            pid_ = forkpty(&out[0], nullptr, nullptr, &size);
        } else if (pipe(out) == 0) {
            pid_ = fork();
        }
        if (pid_ == 0) {
            if (!terminal) {
                dup2(out[1], 1);
                close(out[0]);
                close(out[1]);
            }
            execl(KRO_STATUS_BINARY, KRO_STATUS_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (out[1] >= 0) close(out[1]);
        out_ = out[0];
    }
    ~Watcher() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    // What the watcher printed up to the next `end` (not included), or "<none>" after five
    // seconds.
    std::string next_line(const std::string& end = "\n") {
        while (true) {
            const auto at = buffer_.find(end);
            if (at != std::string::npos) {
                std::string line = buffer_.substr(0, at);
                buffer_.erase(0, at + end.size());
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return "<none>";
            char chunk[1024];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return "<none>";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Waits until the watcher has read the block at least once since this call: it
    // pauses between two looks, so two more pauses begun mean one whole look in between.
    // False when that takes longer than five seconds.
    bool looked_again() {
        const long before = pauses();
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pauses() < before + 2) {
            if (std::chrono::steady_clock::now() > give_up) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    int stop(int signal) {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string rest() {
        std::string all = buffer_;
        char chunk[1024];
        ssize_t n;
        while ((n = read(out_, chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<std::size_t>(n));  // EIO ends a terminal
        return all;
    }

private:
    // How often the watcher has given up the processor of its own accord: once per pause
    // between two looks at the block (it blocks nowhere else).
    long pauses() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
        return -1;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool waited_ = false;
    std::string buffer_;
};

StatusBlock wait_for_block() {
    for (int i = 0; i < 100; ++i) {
        StatusBlock block = StatusBlock::open_existing();
        if (block.is_open()) return block;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return StatusBlock();
}

TEST(KroStatus, ShowsEachNewStatusTextAndRemovesTheBlockWhenStopped) {
    Watcher watcher;
    StatusBlock job_side = wait_for_block();
    ASSERT_TRUE(job_side.is_open()) << "kro-status made no status block";

    job_side.set_status("Connecting to server...");
    EXPECT_EQ(watcher.next_line(), "Connecting to server...");
    // Two-line texts become one line; a cleared block prints nothing.
    job_side.set_status("Preparing for synchronization...\r\nPreparing for synchronization...");
    EXPECT_EQ(watcher.next_line(), "Preparing for synchronization... Preparing for synchronization...");
    job_side.set_status("");
    ASSERT_TRUE(watcher.looked_again()) << "kro-status stopped reading the block";
    job_side.set_status(std::string(1500, 'x'));
    EXPECT_EQ(watcher.next_line(), std::string(1023, 'x'));

    EXPECT_EQ(watcher.stop(SIGINT), 0);
    EXPECT_EQ(watcher.rest(), "");
    EXPECT_FALSE(StatusBlock::open_existing().is_open()) << "the block outlived its watcher";
}

// On a terminal the texts replace each other on one line, cut to its width, and the
// line shown last is ended when the watcher stops.
TEST(KroStatus, OnATerminalKeepsOneChangingLine) {
    Watcher watcher(true);
    StatusBlock job_side = wait_for_block();
    ASSERT_TRUE(job_side.is_open()) << "kro-status made no status block";
    job_side.set_status("Retrieving table...");
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\rRetrieving table...");
    job_side.set_status("Collecting table information... " + std::string(60, '.'));
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\rCollecting table information... " + std::string(7, '.'));
    job_side.set_status("");
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\r");
    job_side.set_status("Retrieving table...");
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\rRetrieving table...");
    EXPECT_EQ(watcher.stop(SIGTERM), 0);
    EXPECT_EQ(watcher.rest(), "\r\n");  // the terminal's own line end
    EXPECT_FALSE(StatusBlock::open_existing().is_open());
}

// A sync job publishes its status texts while it runs: the watcher shows them, one changed
// text per line, two-line texts on one line. A bulk copy of a large table spends most of
// its time on "Retrieving table data...", so that text is certain to be seen.
TEST(KroStatus, ShowsTheStatusTextsOfARunningSyncJob) {
    recreate_database("kro_status_src");
    recreate_database("kro_status_tgt");
    mariadb_exec("use kro_status_src; create table big (id int primary key, v varchar(40));"
                 "insert into big select seq, concat('row ', seq) from seq_1_to_200000;"
                 "use kro_status_tgt; create table big (id int primary key, v varchar(40))");
    Watcher watcher;
    ASSERT_TRUE(wait_for_block().is_open()) << "kro-status made no status block";
    TempDir dir;
    RunResult run = run_sync_job(dir, sync_job_xml(sync_server_xml("source", "MARIADB", "kro_status_src"),
                                                   sync_server_xml("target", "MARIADB", "kro_status_tgt"),
                                                   "<tables all=\"yes\"/><sync_action type=\"directsync\"/>"));
    ASSERT_EQ(run.exit_code, 0) << run.out;
    EXPECT_EQ(watcher.stop(SIGINT), 0);
    const std::string shown = watcher.rest();

    // "Retrieving table data...", "Table info obtained... Checking for the table...",
    // "Retrieving table data... Inserting row: 1000", ...
    static const std::regex status_text(R"(^[A-Z][a-z ]+\.\.\.( [A-Z][a-z ]+(\.\.\.|: [0-9]+))?$)");
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = shown.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(shown.substr(start, end - start));
    EXPECT_EQ(start, shown.size()) << "a text without its line end: " << shown;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], status_text)) << lines[i];
        if (i > 0) {
            EXPECT_NE(lines[i], lines[i - 1]) << shown;
        }
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Retrieving table data..."), lines.end()) << shown;
    EXPECT_EQ(mariadb_value("select count(*) from kro_status_tgt.big"), "200000");
}

}  // namespace

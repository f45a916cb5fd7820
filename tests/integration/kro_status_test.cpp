// kro-status against the status blocks jobs write into: it asks its user's jobs to publish,
// shows each new text on a line of its own naming the job, says why it shows nothing when
// no job publishes, and takes its request back when stopped; and while it runs, two real
// sync jobs publish their status texts apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "sync_fixture.h"
#include "platform/status_block.h"
#include "platform/user_id.h"
#include <sys/mman.h>

using namespace kro::platform;
using namespace std::chrono_literals;

namespace {

// kro-status started with its standard output on a pipe, or on a pseudo-terminal, that
// the test reads piece by piece.
class Watcher {
public:
    explicit Watcher(bool terminal = false, const char* user = nullptr) {
        int out[2] = {-1, -1};
        int err[2] = {-1, -1};
        if (pipe(err) != 0) return;
        if (terminal) {
            winsize size{};
            size.ws_row = 24;
            size.ws_col = 40;
            pid_ = forkpty(&out[0], nullptr, nullptr, &size);
        } else if (pipe(out) == 0) {
            pid_ = fork();
        }
        if (pid_ == 0) {
            dup2(err[1], 2);
            close(err[0]);
            close(err[1]);
            if (!terminal) {
                dup2(out[1], 1);
                close(out[0]);
                close(out[1]);
            }
            if (user)
                execl(KRO_STATUS_BINARY, KRO_STATUS_BINARY, "-u", user, static_cast<char*>(nullptr));
            else
                execl(KRO_STATUS_BINARY, KRO_STATUS_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (out[1] >= 0) close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Watcher() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    // The first line the watcher wrote to its standard error, or "<none>" after five seconds.
    std::string next_error_line() {
        std::string line;
        char c;
        pollfd p{err_, POLLIN, 0};
        while (poll(&p, 1, 5000) > 0 && read(err_, &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return "<none>";
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
    // Waits until the watcher has read the blocks at least once since this call: it
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
    int err_ = -1;
    bool waited_ = false;
    std::string buffer_;
};

// Whether a watcher of this user's jobs is there (kro-status makes its marker at start).
bool watched(unsigned long uid = current_user_id()) {
    for (int i = 0; i < 100; ++i) {
        UniqueFd fd(shm_open(watch_marker_name(uid).c_str(), O_RDONLY, 0));
        if (fd.valid()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The line kro-status shows for a job of this process.
std::string own_line(const std::string& job_file, const std::string& rest) {
    return job_file + " [" + std::to_string(getpid()) + "]" + rest;
}

TEST(KroStatus, ShowsEachNewTextNamingTheJobAndTableAndSaysWhyItShowsNothing) {
    Watcher watcher;
    ASSERT_TRUE(watched()) << "kro-status asks no job to publish";
    EXPECT_EQ(watcher.next_error_line().rfind("kro-status: no sync job of user ", 0), 0u);
    {
        StatusBlock job_side = StatusBlock::open_for_job("/jobs/nightly.xml");
        job_side.set_status("Connecting to server...");
        EXPECT_EQ(watcher.next_line(), own_line("/jobs/nightly.xml", ": Connecting to server..."));
        // Two-line texts become one line; the table goes with the texts after it.
        job_side.set_table("`shop`.`orders`");
        job_side.set_status("Preparing for synchronization...\r\nPreparing for synchronization...");
        EXPECT_EQ(watcher.next_line(), own_line("/jobs/nightly.xml", " `shop`.`orders`: Preparing for synchronization... "
                                                                     "Preparing for synchronization..."));
        job_side.set_status(std::string(1500, 'x'));
        EXPECT_EQ(watcher.next_line(), own_line("/jobs/nightly.xml", " `shop`.`orders`: " + std::string(1023, 'x')));
    }
    // The job is gone: the watcher says so again.
    EXPECT_EQ(watcher.next_error_line().rfind("kro-status: no sync job of user ", 0), 0u);
    ASSERT_TRUE(watcher.looked_again()) << "kro-status stopped reading the blocks";

    EXPECT_EQ(watcher.stop(SIGINT), 0);
    EXPECT_EQ(watcher.rest(), "");
    UniqueFd marker(shm_open(watch_marker_name(current_user_id()).c_str(), O_RDONLY, 0));
    EXPECT_FALSE(marker.valid()) << "the request to publish outlived its watcher";
}

// Root watches the jobs of another user (the systemd units' account): that user's job,
// which cannot write anything of root's, still publishes and is shown.
TEST(KroStatus, RootWatchesTheJobsOfTheUserItNames) {
    ASSERT_EQ(geteuid(), 0u) << "this test runs as root, as the test suite does";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    Watcher watcher(false, "nobody");
    ASSERT_TRUE(watched(nobody->pw_uid)) << "kro-status -u nobody asks no job to publish";
    EXPECT_NE(watcher.next_error_line().find("no sync job of user nobody"), std::string::npos);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t job = fork();
    if (job == 0) {
        close(ready[0]);
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(1);
        StatusBlock job_side = StatusBlock::open_for_job("/etc/kro/nightly.xml");
        job_side.set_table("`shop`.`orders`");
        job_side.set_status("Retrieving table data...");
        const char done = 'x';
        if (write(ready[1], &done, 1) != 1) _exit(1);
        sleep(10);  // until the test ends it
        _exit(0);
    }
    close(ready[1]);
    char done = 0;
    ASSERT_EQ(read(ready[0], &done, 1), 1);
    close(ready[0]);
    EXPECT_EQ(watcher.next_line(), "/etc/kro/nightly.xml [" + std::to_string(job) + "] `shop`.`orders`: Retrieving table data...");
    kill(job, SIGKILL);
    waitpid(job, nullptr, 0);
    // A job that did not end cleanly leaves its block; the watcher removes it.
    EXPECT_NE(watcher.next_error_line().find("no sync job of user nobody"), std::string::npos);
    UniqueFd left(shm_open(job_status_name(nobody->pw_uid, job).c_str(), O_RDONLY, 0));
    EXPECT_FALSE(left.valid());
    EXPECT_EQ(watcher.stop(SIGTERM), 0);
}

// On a terminal the texts replace each other on one line, cut to its width, and the
// line shown last is ended when the watcher stops.
TEST(KroStatus, OnATerminalKeepsOneChangingLine) {
    Watcher watcher(true);
    ASSERT_TRUE(watched()) << "kro-status asks no job to publish";
    StatusBlock job_side = StatusBlock::open_for_job("j.xml");
    job_side.set_status("Retrieving table...");
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\r" + own_line("j.xml", ": Retrieving table..."));
    job_side.set_status("Collecting table information... " + std::string(60, '.'));
    EXPECT_EQ(watcher.next_line("\x1b[K"),
              "\r" + own_line("j.xml", ": Collecting table information... " + std::string(60, '.')).substr(0, 39));
    job_side.set_status("");
    EXPECT_EQ(watcher.next_line("\x1b[K"), "\r" + own_line("j.xml", ""));
    EXPECT_EQ(watcher.stop(SIGTERM), 0);
    EXPECT_EQ(watcher.rest(), "\r\n");  // the terminal's own line end
}

// Two sync jobs of one user at once: each line names its job file and its table, and both
// jobs show. A bulk copy of a large table spends most of its time on "Retrieving table
// data...", so that text is certain to be seen of each.
TEST(KroStatus, TwoSyncJobsOfOneUserShowApartEachLineNamingItsJobAndTable) {
    recreate_database("kro_status_src");
    recreate_database("kro_status_tgt");
    mariadb_exec("use kro_status_src; create table big_a (id int primary key, v varchar(40));"
                 "insert into big_a select seq, concat('row ', seq) from seq_1_to_200000;"
                 "create table big_b like big_a; insert into big_b select * from big_a;"
                 "use kro_status_tgt; create table big_a like kro_status_src.big_a; create table big_b like big_a");
    Watcher watcher;
    ASSERT_TRUE(watched()) << "kro-status asks no job to publish";
    TempDir dir_a, dir_b;
    auto start = [](const TempDir& dir, const char* table) {
        write_file(dir.file("job.xml"),
                   sync_job_xml(sync_server_xml("source", "MARIADB", "kro_status_src"),
                                sync_server_xml("target", "MARIADB", "kro_status_tgt"),
                                std::string("<tables all=\"no\"><table><name>") + table +
                                    "</name></table></tables><sync_action type=\"directsync\"/>"));
        return std::make_unique<StartedProgram>(KRO_BINARY, std::vector<std::string>{"job.xml", "-lsync.log", "-ss.xml"},
                                                dir.path(), kro_environment());
    };
    auto job_a = start(dir_a, "big_a");
    auto job_b = start(dir_b, "big_b");
    const RunResult run_a = job_a->wait();
    const RunResult run_b = job_b->wait();
    ASSERT_EQ(run_a.exit_code, 0) << run_a.out;
    ASSERT_EQ(run_b.exit_code, 0) << run_b.out;
    EXPECT_EQ(watcher.stop(SIGINT), 0);
    const std::string shown = watcher.rest();

    // "<job file> [<pid>] `big_a`: Retrieving table data...", ...
    std::map<std::string, std::set<std::string>> texts_of_job;
    static const std::regex job_line(R"(^(/\S+/job\.xml) \[[0-9]+\]( `?big_[ab]`?)?(: [A-Z][a-z ()]+\.\.\.( [A-Z][a-z ()]+(\.\.\.|: [0-9]+))?)?$)");
    std::size_t start_at = 0;
    for (std::size_t end; (end = shown.find('\n', start_at)) != std::string::npos; start_at = end + 1) {
        const std::string line = shown.substr(start_at, end - start_at);
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, job_line)) << line;
        const std::string job = parts[1];
        const bool of_a = job == dir_a.file("job.xml");
        ASSERT_TRUE(of_a || job == dir_b.file("job.xml")) << line;
        if (parts[2].matched) {
            EXPECT_NE(parts[2].str().find(of_a ? "big_a" : "big_b"), std::string::npos) << line;
        }
        texts_of_job[job].insert(parts[3]);
    }
    EXPECT_EQ(start_at, shown.size()) << "a text without its line end: " << shown;
    for (const TempDir* dir : {&dir_a, &dir_b})
        EXPECT_EQ(texts_of_job[dir->file("job.xml")].count(": Retrieving table data..."), 1u) << shown;
    EXPECT_EQ(mariadb_value("select count(*) from kro_status_tgt.big_b"), "200000");
}

}  // namespace

// kro-status: shows the status texts of the running sync jobs of one user (its own, or as
// root any user's). It asks that user's jobs to publish (platform/status_watch.h), prints
// each job's text as it changes, each line naming the job file, its process and the table,
// until it is interrupted. It says on standard error why it shows nothing when no job of
// that user publishes.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <pwd.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/status_watch.h"
#include "platform/terminal.h"

using namespace kro::platform;

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

void on_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// A status text on one line: its line breaks become single blanks, and the ends are trimmed.
std::string one_line(const std::string& text) {
    std::string line;
    bool gap = false;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            gap = true;
            continue;
        }
        if (gap && !line.empty()) line += ' ';
        gap = false;
        line += c;
    }
    return line;
}

// "<job file> [<pid>] <table>: <text>"; an empty text shows as the job and table alone.
std::string job_line(const JobStatus& job) {
    std::string line = one_line(job.job_file) + " [" + std::to_string(job.pid) + "]";
    if (!job.table.empty()) line += " " + one_line(job.table);
    const std::string text = one_line(job.text);
    if (!text.empty()) line += ": " + text;
    return line;
}

void show(const std::string& line, bool terminal) {
    if (terminal) {
        // One line that changes in place, never wider than the terminal (a wrapped line
        // could not be redrawn).
        const std::size_t width = static_cast<std::size_t>(terminal_columns());
        std::printf("\r%s\x1b[K", cut_to_columns(line, width > 1 ? width - 1 : 0).c_str());
    } else {
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

int usage(bool asked) {
    std::fprintf(asked ? stdout : stderr,
                 "usage: kro-status [-u user]\n"
                 "Shows the status texts of the running sync jobs of a user (yours; root may name\n"
                 "another with -u), one line per change naming the job file, its process and the\n"
                 "table (a single changing line on a terminal), until interrupted.\n");
    return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    uid_t uid = geteuid();
    std::string user_name;
    if (argc > 1) {
        if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) return usage(true);
        if (argc != 3 || std::strcmp(argv[1], "-u") != 0) return usage(false);
        const passwd* user = getpwnam(argv[2]);
        if (!user) {
            std::fprintf(stderr, "kro-status: no user named %s\n", argv[2]);
            return 2;
        }
        if (user->pw_uid != geteuid() && geteuid() != 0) {
            std::fprintf(stderr, "kro-status: only root can watch the jobs of another user (%s)\n", argv[2]);
            return 2;
        }
        uid = user->pw_uid;
        user_name = argv[2];
    }
    if (user_name.empty()) {
        const passwd* user = getpwuid(uid);
        user_name = user ? user->pw_name : std::to_string(uid);
    }
    on_stop_signals();
    std::string error;
    StatusWatch watch(uid, error);
    if (!watch.is_on()) {
        std::fprintf(stderr, "kro-status: cannot ask the jobs of %s to publish their status: %s\n", user_name.c_str(),
                     error.c_str());
        return 1;
    }
    const bool terminal = stdout_is_terminal();
    std::map<long, std::string> shown;  // the line shown last of each job
    std::string last_problem;
    bool told_none = false;
    bool line_open = false;
    const timespec pause{0, 50 * 1000 * 1000};
    while (!stop_requested) {
        std::vector<std::string> problems;
        const std::vector<JobStatus> jobs = watch.read(problems);
        std::map<long, std::string> now;
        for (const JobStatus& job : jobs) {
            const std::string line = job_line(job);
            now[job.pid] = line;
            const auto before = shown.find(job.pid);
            if (before == shown.end() || before->second != line) {
                show(line, terminal);
                line_open = terminal;
            }
        }
        shown = std::move(now);
        const std::string problem = problems.empty() ? std::string() : problems.front();
        if (!problem.empty() && problem != last_problem)
            std::fprintf(stderr, "%skro-status: %s (watch as root or as the job's user)\n", line_open ? "\n" : "",
                         problem.c_str());
        last_problem = problem;
        // Nothing to show is told once each time it begins, with what would change it.
        if (jobs.empty() && problems.empty() && !told_none) {
            std::fprintf(stderr,
                         "%skro-status: no sync job of user %s is running now; a job shows here from its next "
                         "status text on (only sync jobs publish; jobs of other users: kro-status -u USER as root)\n",
                         line_open ? "\n" : "", user_name.c_str());
            line_open = false;
        }
        told_none = jobs.empty() && problems.empty();
        nanosleep(&pause, nullptr);  // a stop signal cuts it short
    }
    if (line_open) std::printf("\n");
    return 0;
}

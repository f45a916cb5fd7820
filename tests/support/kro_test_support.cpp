#include "kro_test_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

extern char** environ;

TempDir::TempDir() {
    char templ[] = "/tmp/kro-test-XXXXXX";
    if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::vector<std::string> environment_with(const std::vector<std::string>& extra_env) {
    std::vector<std::string> env;
    std::set<std::string> names;
    auto add = [&](const std::string& entry) {
        if (names.insert(entry.substr(0, entry.find('='))).second) env.push_back(entry);
    };
    for (auto e = extra_env.rbegin(); e != extra_env.rend(); ++e) add(*e);
    for (char** e = environ; *e; ++e) add(*e);
    return env;
}

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::string& cwd, const std::vector<std::string>& extra_env,
                               int terminal_columns, long file_size_limit) {
    std::vector<std::string> env_strings = environment_with(extra_env);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out_pipe[2] = {-1, -1};
    if (terminal_columns > 0) {
        // The terminal's own settings stay (a line feed reaches the reader as "\r\n").
        winsize size{};
        size.ws_row = 24;
        size.ws_col = static_cast<unsigned short>(terminal_columns);
        pid_ = forkpty(&out_pipe[0], nullptr, nullptr, &size);
    } else {
        if (pipe(out_pipe) != 0) return;
        pid_ = fork();
    }
    if (pid_ < 0) return;
    if (pid_ == 0) {
        if (terminal_columns <= 0) {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(out_pipe[1], 1);
            close(out_pipe[0]);
            close(out_pipe[1]);
        }
        if (file_size_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        if (chdir(cwd.c_str()) != 0) _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    output_.reset(out_pipe[0]);
}

StartedProgram::~StartedProgram() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

RunResult StartedProgram::wait() {
    RunResult result;
    if (pid_ <= 0) return result;
    char buf[65536];
    ssize_t n;
    // A terminal's reader gets EIO once the program and its children have closed it.
    while ((n = read(output_.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) result.out.append(buf, static_cast<std::size_t>(n));
    output_.reset();
    int status = 0;
    rusage usage{};
    wait4(pid_, &status, 0, &usage);
    pid_ = -1;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.peak_kb = usage.ru_maxrss;
    return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const std::vector<std::string>& extra_env,
                      int terminal_columns) {
    return StartedProgram(program, args, cwd, extra_env, terminal_columns).wait();
}

std::vector<std::string> kro_environment(const std::vector<std::string>& extra_env) {
    // Crash-report folders of the tests' runs stay in the build folder, not in the home
    // folder of whoever runs the tests.
    std::vector<std::string> env = {"XDG_DATA_HOME=" KRO_TEST_DATA_HOME};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    return env;
}

RunResult run_kro(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& extra_env) {
    return run_program(KRO_BINARY, args, cwd, kro_environment(extra_env));
}

RunResult run_kro_on_terminal(const std::vector<std::string>& args, const std::string& cwd, int columns) {
    return run_program(KRO_BINARY, args, cwd, {"XDG_DATA_HOME=" KRO_TEST_DATA_HOME, "TERM=xterm"}, columns);
}

std::string service_value(const std::string& key) {
    static const std::map<std::string, std::string> values = [] {
        std::map<std::string, std::string> m;
        std::ifstream in(KRO_SERVICES_ENV);
        std::string line;
        while (std::getline(in, line)) {
            auto eq = line.find('=');
            if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return m;
    }();
    auto it = values.find(key);
    if (it == values.end()) {
        ADD_FAILURE() << "test service setting " << key << " missing from " << KRO_SERVICES_ENV
                      << " (are the services of scripts/services.sh running?)";
        throw std::runtime_error("missing service setting " + key);
    }
    return it->second;
}

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default: out += c;
        }
    }
    return out;
}

LoopbackListener::LoopbackListener(int socket_flags) : fd(socket(AF_INET, SOCK_STREAM | socket_flags, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd.get(), 8) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no loopback listener";
        return;
    }
    port = ntohs(address.sin_port);
}

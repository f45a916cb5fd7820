// The SSH tunnel against the private sshd and MariaDB: helpers started by the agent's own
// routines in this process, and kro jobs run end to end. HOME points at a folder of this
// suite, so the helpers record the test server's host key there, not in the real ~/.ssh.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "connection/ssh_helper_protocol.h"
#include "connection/ssh_tunnel.h"
#include "connection/statements.h"
#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "platform/named_semaphore.h"
#include "platform/unique_fd.h"
#include "report/process_state.h"

using namespace kro::platform;
using namespace kro::report;
using namespace kro::connection;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A port on 127.0.0.1 that nothing listens on right now.
int free_local_port() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return 0;
    return ntohs(a.sin_port);
}

std::string read_proc(const std::string& path) {
    std::string text = read_file(path);
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

// Children of this test program, reaped or not: none may be left after a test.
std::vector<std::string> child_processes() {
    std::vector<std::string> found;
    const std::string me = std::to_string(getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string stat = read_proc(entry.path().string() + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // "pid (comm) state ppid ..."
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && std::to_string(ppid) == me)
            found.push_back(stat.substr(0, close + 1) + " " + state);
    }
    return found;
}

// True when some live process runs a kro-plink whose command line holds `needle`.
bool helper_running_with(const std::string& needle) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string command = read_proc(entry.path().string() + "/cmdline");
        if (command.find("kro-plink") != std::string::npos && command.find(needle) != std::string::npos) return true;
    }
    return false;
}

bool process_alive(long pid) {
    std::string stat = read_proc("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

// The private MariaDB behind the private sshd, forwarded to local_port.
ConnectionInfo tunnelled_mariadb(int local_port) {
    ConnectionInfo info = mariadb_connection_info();
    info.use_ssh = 1;
    info.ssh_host.assign(service_value("SSH_HOST").c_str(), 1);
    info.ssh_port = std::stoi(service_value("SSH_PORT"));
    info.ssh_user.assign(service_value("SSH_USER").c_str(), 1);
    info.ssh_password.assign(service_value("SSH_PASSWORD").c_str(), 1);
    info.local_port = local_port;
    return info;
}

// A job file's tunnelinfo for the test sshd; login_keys select a key login.
std::string ssh_tunnelinfo(int local_port, const std::string& password, const std::string& login_keys = "") {
    return "<tunnelinfo type=\"ssh\"><sshuser>" + service_value("SSH_USER") + "</sshuser><sshpwd>" + password +
           "</sshpwd><sshhost>" + service_value("SSH_HOST") + "</sshhost><sshport>" + service_value("SSH_PORT") +
           "</sshport><localport>" + std::to_string(local_port) + "</localport>" + login_keys + "</tunnelinfo>";
}

// A notification job on `database` of the private MariaDB, reached through `tunnelinfo`.
std::string notify_job_file(const std::string& database, const std::string& tunnelinfo, const std::string& query) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><notifyjob><source>"
           // "localhost" as the SSH server sees it; without the tunnel it would mean a socket here.
           "<host>localhost</host><port>" + service_value("MARIADB_PORT") + "</port>"
           "<user>" + service_value("MARIADB_USER") + "</user><pwd>" + service_value("MARIADB_PASSWORD") + "</pwd>"
           "<database>" + database + "</database>" + tunnelinfo + "</source>"
           "<query>" + query + "</query><result value=\"no\"/></notifyjob></job>\n";
}

// A copy of kro in `run` with the given stand-in kro-plink script beside it.
std::string kro_with_stand_in_helper(const TempDir& run, const std::string& helper_script) {
    std::filesystem::copy_file(KRO_BINARY, run.file("kro"));
    std::filesystem::permissions(run.file("kro"), std::filesystem::perms::owner_all);
    write_file(run.file("kro-plink"), helper_script);
    std::filesystem::permissions(run.file("kro-plink"), std::filesystem::perms::owner_all);
    return run.file("kro");
}

void use_key(ConnectionInfo& info, const std::string& key, const std::string& passphrase) {
    info.ssh_password_auth = 0;
    info.ssh_key_file.assign(key.c_str(), 1);
    info.ssh_password.assign(passphrase.c_str(), 1);
}

std::string known_hosts_path() { return std::string(std::getenv("HOME")) + "/.ssh/known_hosts"; }

class SshTunnelTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        saved_home_ = std::getenv("HOME") ? std::getenv("HOME") : "";
        saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        home_ = new TempDir;
        setenv("HOME", home_->path().c_str(), 1);
        // This program's folder holds no kro-plink: the helper is found on PATH, beside kro.
        std::string kro_dir = std::filesystem::path(KRO_BINARY).parent_path().string();
        suite_path_ = kro_dir + ":" + saved_path_;
        setenv("PATH", suite_path_.c_str(), 1);
        mariadb_exec(
            "drop database if exists kro_ssh; create database kro_ssh;"
            "create table kro_ssh.t (id int primary key, v varchar(20));"
            "insert into kro_ssh.t values (1, 'through'), (2, 'the tunnel');");
    }
    static void TearDownTestSuite() {
        setenv("HOME", saved_home_.c_str(), 1);
        setenv("PATH", saved_path_.c_str(), 1);
        delete home_;
        home_ = nullptr;
    }
    void SetUp() override {
        log_file = std::fopen(dir.file("kro.log").c_str(), "a+");
        session_file = std::fopen(dir.file("session.xml").c_str(), "w");
        log_path = dir.file("kro.log");
    }
    void TearDown() override {
        // What the runner does at exit.
        terminate_process(source_tunnel_process);
        terminate_process(target_tunnel_process);
        setenv("PATH", suite_path_.c_str(), 1);  // a test may have put a stand-in helper first
        close_files();
        EXPECT_EQ(child_processes(), std::vector<std::string>{});
    }
    void close_files() {
        if (log_file) std::fclose(log_file);
        if (session_file) std::fclose(session_file);
        log_file = session_file = nullptr;
    }
    int start(ConnectionInfo* source, ConnectionInfo* target, std::string& console) {
        testing::internal::CaptureStdout();
        int result = start_job_tunnels(source, target);
        console = testing::internal::GetCapturedStdout();
        return result;
    }
    // A start that must fail: the helper's text on the console and in the log, no session
    // entry, no helper left.
    void expect_start_fails_with(ConnectionInfo info, const std::string& text) {
        std::string console;
        auto started = Clock::now();
        EXPECT_EQ(start(&info, nullptr, console), 0);
        EXPECT_LT(seconds_since(started), 10.0) << "a helper that gave up must not be waited for";
        EXPECT_NE(console.find(text), std::string::npos) << console;
        EXPECT_NE(console.find("\nCheck " + log_path + " for complete error details.\n"), std::string::npos);
        std::fflush(log_file);
        EXPECT_NE(read_file(dir.file("kro.log")).find(text), std::string::npos);
        EXPECT_EQ(source_tunnel_process, kNoProcess);
        EXPECT_EQ(info.ssh.input.get(), -1);
        EXPECT_EQ(child_processes(), std::vector<std::string>{});
    }

    TempDir dir;
    static TempDir* home_;
    static std::string saved_home_, saved_path_, suite_path_;
};

TempDir* SshTunnelTest::home_ = nullptr;
std::string SshTunnelTest::saved_home_;
std::string SshTunnelTest::saved_path_;
std::string SshTunnelTest::suite_path_;

}  // namespace

TEST_F(SshTunnelTest, PasswordAndKeyTunnelsRunAtOnceOnTwoPortsAndStopOnRequest) {
    ConnectionInfo source = tunnelled_mariadb(free_local_port());
    ConnectionInfo target = tunnelled_mariadb(free_local_port());
    use_key(target, service_value("SSH_KEY"), "");
    TempDir files;
    FILE* agent_file = std::fopen(files.file("agent-only").c_str(), "w");  // inheritable, as a log file is
    ASSERT_NE(agent_file, nullptr);
    std::string console;
    ASSERT_EQ(start(&source, &target, console), 1) << console;
    // The helper holds none of the agent's files.
    const std::string fd_dir = "/proc/" + std::to_string(source_tunnel_process) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fd_dir)) {
        std::error_code ec;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec).string(), files.file("agent-only"));
    }
    std::fclose(agent_file);
    EXPECT_EQ(console, "");
    ASSERT_NE(source_tunnel_process, kNoProcess);
    ASSERT_NE(target_tunnel_process, kNoProcess);
    EXPECT_NE(source_tunnel_process, target_tunnel_process);
    // The password is not on the helper's command line.
    std::string command = read_proc("/proc/" + std::to_string(source_tunnel_process) + "/cmdline");
    EXPECT_NE(command.find("-L " + std::to_string(source.local_port) + ":"), std::string::npos) << command;
    EXPECT_EQ(command.find(service_value("SSH_PASSWORD")), std::string::npos) << command;

    // Both connections at once, each with a result bigger than the SSH window.
    ServerConnection a, b;
    ASSERT_TRUE(connect_direct(a, source));
    ASSERT_TRUE(connect_direct(b, target));
    EXPECT_EQ(connection_value(a, "select v from kro_ssh.t where id = 1"), "through");
    EXPECT_EQ(connection_value(b, "select v from kro_ssh.t where id = 2"), "the tunnel");
    EXPECT_EQ(connection_value(a, "select md5(repeat('abc', 1500000))"),
              connection_value(b, "select md5(repeat('abc', 1500000))"));
    EXPECT_EQ(connection_value(a, "select length(repeat('abc', 1500000))"), "4500000");
    // ... and a statement bigger than the window the other way.
    std::string upload = "select md5('" + std::string(3000000, 'q') + "')";
    EXPECT_EQ(connection_value(a, upload.c_str()), connection_value(a, "select md5(repeat('q', 3000000))"));
    std::string big = connection_value(b, "select repeat('xyz', 1500000)");
    EXPECT_EQ(big.size(), 4500000u);
    EXPECT_EQ(big.find_first_not_of("xyz"), std::string::npos);
    // Trust on first use: the server's key is recorded under HOME.
    EXPECT_NE(read_file(known_hosts_path()).find("[127.0.0.1]:" + service_value("SSH_PORT") + " "),
              std::string::npos);
    a.close();
    b.close();

    // "exit" on its input ends each helper; its port is closed then.
    stop_ssh_client(source);
    stop_ssh_client(target);
    EXPECT_EQ(source.ssh.input.get(), -1);
    EXPECT_EQ(source.ssh.output.get(), -1);
    for (int i = 0; i < 100 && (process_alive(source_tunnel_process) || process_alive(target_tunnel_process)); ++i)
        usleep(20000);
    EXPECT_FALSE(process_alive(source_tunnel_process));
    EXPECT_FALSE(process_alive(target_tunnel_process));
    ServerConnection gone;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(connect_direct(gone, source));
    testing::internal::GetCapturedStdout();
}

TEST_F(SshTunnelTest, PasswordReachesTheHelperThroughItsInputAndAUserWithABlankStaysOneWord) {
    // A kro-plink first on PATH that notes its command line as it starts, then becomes the real one.
    TempDir wrapper;
    const std::string real = std::filesystem::path(KRO_BINARY).parent_path().string() + "/kro-plink";
    write_file(wrapper.file("kro-plink"), "#!/bin/sh\ncat /proc/$$/cmdline >> '" + wrapper.file("argv") +
                                              "'\nexec '" + real + "' \"$@\"\n");
    std::filesystem::permissions(wrapper.file("kro-plink"), std::filesystem::perms::owner_all);
    setenv("PATH", (wrapper.path() + ":" + std::getenv("PATH")).c_str(), 1);

    ConnectionInfo info = tunnelled_mariadb(free_local_port());
    std::string console;
    ASSERT_EQ(start(&info, nullptr, console), 1) << console;
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(connection_value(c, "select v from kro_ssh.t where id = 2"), "the tunnel");
    c.close();
    stop_ssh_client(info);
    terminate_process(source_tunnel_process);
    // The password was on no command line, from the helper's first instant on.
    const std::string started_with = read_file(wrapper.file("argv"));
    EXPECT_NE(started_with.find(std::string("\0-pwstdin\0", 10)), std::string::npos) << started_with;
    EXPECT_EQ(started_with.find(service_value("SSH_PASSWORD")), std::string::npos);

    // A user name with a blank is one word and reaches the SSH server whole.
    ConnectionInfo blank_user = tunnelled_mariadb(free_local_port());
    use_key(blank_user, service_value("SSH_KEY"), "");
    blank_user.ssh_user.assign("kro test", 1);
    expect_start_fails_with(blank_user, "SSH Error: Access denied: 127.0.0.1 port " + service_value("SSH_PORT") +
                                            " refused the key '" + service_value("SSH_KEY") + "' for user 'kro test'");
}

TEST_F(SshTunnelTest, KeyWithPassphraseLogsIn) {
    ConnectionInfo info = tunnelled_mariadb(free_local_port());
    use_key(info, service_value("SSH_KEY_PASS"), service_value("SSH_KEY_PASSPHRASE"));
    std::string console;
    ASSERT_EQ(start(&info, nullptr, console), 1) << console;
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, info));
    EXPECT_EQ(connection_value(c, "select count(*) from kro_ssh.t"), "2");
    c.close();
    stop_ssh_client(info);
}

TEST_F(SshTunnelTest, WrongPasswordShowsTheHelpersOwnText) {
    ConnectionInfo info = tunnelled_mariadb(free_local_port());
    info.ssh_password.assign("not the password", 1);
    expect_start_fails_with(info, "SSH Error: Access denied: wrong password for user 'krotest' on 127.0.0.1 port " +
                                      service_value("SSH_PORT"));
    close_files();
    EXPECT_EQ(read_file(dir.file("session.xml")), "");
}

TEST_F(SshTunnelTest, BadKeysHostsAndPortsEndTheStartWithTheHelpersText) {
    ConnectionInfo wrong_passphrase = tunnelled_mariadb(free_local_port());
    use_key(wrong_passphrase, service_value("SSH_KEY_PASS"), "wrong");
    expect_start_fails_with(wrong_passphrase, "SSH Error: Unable to load the private key '" +
                                                  service_value("SSH_KEY_PASS") + "'");

    ConnectionInfo missing_key = tunnelled_mariadb(free_local_port());
    use_key(missing_key, dir.file("no_such_key"), "");
    expect_start_fails_with(missing_key, "SSH Error: Unable to read the private key file '" +
                                             dir.file("no_such_key") + "': No such file or directory");

    ConnectionInfo unknown_host = tunnelled_mariadb(free_local_port());
    unknown_host.ssh_host.assign("no-such-host.invalid", 1);
    expect_start_fails_with(unknown_host, "SSH Error: Unable to connect to no-such-host.invalid port ");

    // The local port is taken by someone else.
    UniqueFd squatter(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(squatter.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(squatter.get(), 1), 0);
    socklen_t length = sizeof a;
    getsockname(squatter.get(), reinterpret_cast<sockaddr*>(&a), &length);
    ConnectionInfo taken = tunnelled_mariadb(ntohs(a.sin_port));
    expect_start_fails_with(taken, "SSH Error: Unable to listen on 127.0.0.1 port " +
                                       std::to_string(ntohs(a.sin_port)) + ": Address already in use");
}

TEST_F(SshTunnelTest, ChangedHostKeyIsRefused) {
    // A recorded key for the test server that is not its key (the client key stands in).
    const std::string recorded = read_file(known_hosts_path());
    std::string other_key = read_file(service_value("SSH_KEY") + ".pub");
    other_key = other_key.substr(0, other_key.rfind(' '));
    std::filesystem::create_directories(std::filesystem::path(known_hosts_path()).parent_path());
    write_file(known_hosts_path(), "[127.0.0.1]:" + service_value("SSH_PORT") + " " + other_key + "\n");

    ConnectionInfo info = tunnelled_mariadb(free_local_port());
    expect_start_fails_with(info, "SSH Error: Host key verification failed: the host key of 127.0.0.1 port " +
                                      service_value("SSH_PORT") + " has changed");
    EXPECT_EQ(read_file(known_hosts_path()).find("kro-test"), std::string::npos);  // the file is left as it was
    write_file(known_hosts_path(), recorded);
}

TEST_F(SshTunnelTest, RefusedForwardFailsTheConnectNotTheHelper) {
    ConnectionInfo info = tunnelled_mariadb(free_local_port());
    info.port = free_local_port();  // nothing listens there behind the SSH server
    std::string console;
    ASSERT_EQ(start(&info, nullptr, console), 1) << console;
    ServerConnection c;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(connect_direct(c, info));
    console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.rfind("\r\nERROR: 2013, ", 0), 0u) << console;
    EXPECT_TRUE(process_alive(source_tunnel_process));  // other connections may still succeed
    stop_ssh_client(info);
}

TEST_F(SshTunnelTest, LostTunnelsAreRestartedByReconnectOnTwoThreadsAtOnce) {
    ConnectionInfo source = tunnelled_mariadb(free_local_port());
    ConnectionInfo target = tunnelled_mariadb(free_local_port());
    std::string console;
    ASSERT_EQ(start(&source, &target, console), 1) << console;
    const ProcessHandle first_source = source_tunnel_process;
    const ProcessHandle first_target = target_tunnel_process;
    ServerConnection a, b;
    ASSERT_TRUE(connect_direct(a, source));
    ASSERT_TRUE(connect_direct(b, target));

    kill(static_cast<pid_t>(first_source), SIGKILL);  // both tunnels break down
    kill(static_cast<pid_t>(first_target), SIGKILL);
    for (int i = 0; i < 200 && (process_alive(first_source) || process_alive(first_target)); ++i) usleep(10000);
    // Each thread brings its own server back while the other does the same.
    auto reconnect_and_read = [](ServerConnection& c, ConnectionInfo& info, const char* sql, std::string& value) {
        ResultPtr result = query_with_reconnect(*c.tunnel, c.handle, sql, 1, 0, 0, &info, "kro_ssh");
        MYSQL_ROW row = result ? c.tunnel->fetch_row(result.get()) : nullptr;
        value = row && row[0] ? row[0] : std::string("error ") + c.tunnel->error(c.handle);
    };
    std::string from_a, from_b;
    std::thread first(reconnect_and_read, std::ref(a), std::ref(source), "select v from t where id = 1",
                      std::ref(from_a));
    std::thread second(reconnect_and_read, std::ref(b), std::ref(target), "select v from t where id = 2",
                       std::ref(from_b));
    first.join();
    second.join();
    EXPECT_EQ(from_a, "through");
    EXPECT_EQ(from_b, "the tunnel");
    // Each new helper is recorded in its own server's place, so the runner ends both at exit.
    EXPECT_EQ(source.ssh.process, source_tunnel_process);
    EXPECT_EQ(target.ssh.process, target_tunnel_process);
    EXPECT_NE(source_tunnel_process, kNoProcess);
    EXPECT_NE(target_tunnel_process, kNoProcess);
    EXPECT_NE(source_tunnel_process, first_source);
    EXPECT_NE(target_tunnel_process, first_target);
    EXPECT_NE(source_tunnel_process, target_tunnel_process);

    // A copy of the settings owns no helper: stopping it leaves the original's running.
    ConnectionInfo copy = source;
    EXPECT_EQ(copy.ssh.process, kNoProcess);
    stop_ssh_client(copy);
    EXPECT_EQ(connection_value(a, "select 1"), "1");

    // A restart while the helper still runs replaces it too (it holds the port).
    const ProcessHandle second_source = source_tunnel_process;
    ASSERT_TRUE(restart_ssh_tunnel(source));
    EXPECT_FALSE(process_alive(second_source));
    EXPECT_EQ(source.ssh.process, source_tunnel_process);
    ResultPtr after = query_with_reconnect(*a.tunnel, a.handle, "select database()", 1, 0, 0, &source, "kro_ssh");
    MYSQL_ROW row = after ? a.tunnel->fetch_row(after.get()) : nullptr;
    ASSERT_NE(row, nullptr) << a.tunnel->error(a.handle);
    EXPECT_STREQ(row[0], "kro_ssh");
    after.reset();
    a.close();
    b.close();
    stop_ssh_client(source);
    stop_ssh_client(target);
}

TEST_F(SshTunnelTest, ExportJobDumpsThroughTheTunnelAndLeavesNoHelper) {
    const int local_port = free_local_port();
    TempDir run;
    std::string job =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob><source>"
        "<host>127.0.0.1</host><port>" + service_value("MARIADB_PORT") + "</port>"
        "<user>" + service_value("MARIADB_USER") + "</user><pwd>" + service_value("MARIADB_PASSWORD") + "</pwd>"
        "<compressed>0</compressed>" +
        ssh_tunnelinfo(local_port, service_value("SSH_KEY_PASSPHRASE"),
                       "<sshispass>0</sshispass><sshprivatekey>" + service_value("SSH_KEY_PASS") + "</sshprivatekey>") +
        "</source>"
        "<export><databases><database name=\"kro_ssh\"><objects all=\"yes\"/></database></databases>"
        "<script>" + run.file("dump.sql") + "</script></export></exportjob></job>\n";
    write_file(run.file("job.xml"), job);
    RunResult r = run_kro({"job.xml"}, run.path());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    std::string dump = read_file(run.file("dump.sql"));
    EXPECT_NE(dump.find("'the tunnel'"), std::string::npos) << dump.substr(0, 2000);
    EXPECT_FALSE(helper_running_with(std::to_string(local_port) + ":127.0.0.1:"));
}

TEST_F(SshTunnelTest, HelperThatNeverSignalsIsStoppedAfterFifteenSecondsDespiteStalePosts) {
    // A copy of kro with a stand-in kro-plink beside it that never signals and notes its pid.
    TempDir run;
    const std::string kro = kro_with_stand_in_helper(
        run, "#!/bin/sh\necho $$ > \"$(dirname \"$0\")/helper.pid\"\nexec sleep 120\n");
    // Posts that helpers of earlier runs left behind must not pass for this helper's.
    int error = 0;
    auto ready = NamedSemaphore::open_or_create(ssh_shared_name(kSshReadySignalName).c_str(), error);
    ASSERT_TRUE(ready) << error;
    ready->post();
    ready->post();

    const int local_port = free_local_port();
    std::string job =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<job><exportjob><source>"
        "<host>127.0.0.1</host><port>" + service_value("MARIADB_PORT") + "</port>"
        "<user>" + service_value("MARIADB_USER") + "</user><pwd>" + service_value("MARIADB_PASSWORD") + "</pwd>"
        "<tunnelinfo type=\"ssh\"><sshuser>u</sshuser><sshpwd>p</sshpwd><sshhost>127.0.0.1</sshhost><localport>" +
        std::to_string(local_port) + "</localport></tunnelinfo></source>"
        "<export><databases><database name=\"kro_ssh\"><objects all=\"yes\"/></database></databases>"
        "<script>" + run.file("dump.sql") + "</script></export></exportjob></job>\n";
    write_file(run.file("job.xml"), job);
    auto started = Clock::now();
    RunResult r = run_program(kro, {"job.xml"}, run.path());
    double elapsed = seconds_since(started);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_GE(elapsed, 14.5);
    EXPECT_LT(elapsed, 25.0);
    EXPECT_NE(r.out.find("FATAL ERROR: Network error: Connection timed out\nCheck "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Could not create SSH tunnel process"), std::string::npos) << r.out;
    EXPECT_NE(read_file(run.file("kro.log")).find("FATAL ERROR: Network error: Connection timed out"),
              std::string::npos);
    std::string pid = read_file(run.file("helper.pid"));
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(process_alive(std::stol(pid)));
    EXPECT_FALSE(file_exists(run.file("dump.sql")));
}

TEST_F(SshTunnelTest, NotificationJobRunsItsStatementsThroughTheTunnel) {
    mariadb_exec("drop database if exists kro_ssh_notify; create database kro_ssh_notify;"
                 "create table kro_ssh_notify.seen (via varchar(40))");
    const int local_port = free_local_port();
    TempDir run;
    write_file(run.file("job.xml"),
               notify_job_file("kro_ssh_notify", ssh_tunnelinfo(local_port, service_value("SSH_PASSWORD")),
                               "insert into seen values (concat('port ', @@port));\nselect * from seen"));
    RunResult r = run_kro({"job.xml"}, run.path());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(mariadb_value("select via from kro_ssh_notify.seen"), "port " + service_value("MARIADB_PORT"));
    EXPECT_FALSE(helper_running_with(std::to_string(local_port) + ":127.0.0.1:"));
}

TEST_F(SshTunnelTest, AnotherUsersJobTunnelsWhileRootsHelperRuns) {
    ASSERT_EQ(geteuid(), 0u) << "this test runs a job as the user nobody and must itself run as root";
    // Root's helper runs, and root's shared objects exist, readable by root alone.
    ConnectionInfo own = tunnelled_mariadb(free_local_port());
    std::string console;
    ASSERT_EQ(start(&own, nullptr, console), 1) << console;

    mariadb_exec("drop database if exists kro_ssh_users; create database kro_ssh_users;"
                 "create table kro_ssh_users.seen (who varchar(40))");
    TempDir run;  // nobody's working folder and HOME, with its own copy of the programs: the
                  // build folder may lie where nobody cannot reach (a clone under /root)
    ASSERT_EQ(chown(run.path().c_str(), 65534, 65534), 0);
    const std::string built = std::filesystem::path(KRO_BINARY).parent_path().string();
    for (const char* program : {"kro", "kro-plink"}) {
        std::filesystem::copy_file(built + "/" + program, run.file(program));
        ASSERT_EQ(chown(run.file(program).c_str(), 65534, 65534), 0);
    }
    const int local_port = free_local_port();
    write_file(run.file("job.xml"),
               notify_job_file("kro_ssh_users", ssh_tunnelinfo(local_port, service_value("SSH_PASSWORD")),
                               "insert into seen values ('nobody')"));
    RunResult r = run_program("/usr/bin/setpriv",
                              {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env",
                               "HOME=" + run.path(), run.file("kro"), "job.xml"},
                              run.path());
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(mariadb_value("select who from kro_ssh_users.seen"), "nobody");

    // Root's tunnel was not disturbed.
    ServerConnection c;
    ASSERT_TRUE(connect_direct(c, own));
    EXPECT_EQ(connection_value(c, "select v from kro_ssh.t where id = 1"), "through");
    c.close();
    stop_ssh_client(own);
}

TEST_F(SshTunnelTest, ReadySignalIsNotTakenWhileTheLocalPortIsNotTheHelpers) {
    // A stand-in helper that never listens and gives up after a second, while this test
    // listens on the local port and posts the ready signal again and again.
    TempDir run;
    const std::string kro = kro_with_stand_in_helper(run, "#!/bin/sh\nsleep 1\nexit 1\n");
    LoopbackListener listener(SOCK_NONBLOCK);
    int error = 0;
    auto ready = NamedSemaphore::open_or_create(ssh_shared_name(kSshReadySignalName).c_str(), error);
    ASSERT_TRUE(ready) << error;
    std::atomic<bool> done{false};
    std::atomic<int> connections{0};
    std::thread forger([&] {
        while (!done) {
            ready->post();
            pollfd p{listener.fd.get(), POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                UniqueFd accepted(accept(listener.fd.get(), nullptr, nullptr));
                if (accepted.valid()) ++connections;
            }
        }
    });
    write_file(run.file("job.xml"),
               notify_job_file("kro_ssh", ssh_tunnelinfo(listener.port, "secret"), "select 1"));
    auto started = Clock::now();
    RunResult r = run_program(kro, {"job.xml"}, run.path());
    double elapsed = seconds_since(started);
    done = true;
    forger.join();
    ready->drain();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("FATAL ERROR: Network error: Connection timed out\nCheck "), std::string::npos) << r.out;
    EXPECT_LT(elapsed, 10.0) << "the helper's end must end the wait";
    EXPECT_EQ(connections, 0) << "the MySQL login went to the port's squatter";
}

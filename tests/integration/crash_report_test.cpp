// Crash reports: kro killed by a fatal signal in the middle of a job leaves a report in
// its dump file and names the file on standard error; runs that end normally leave the
// dump folder as they found it, apart from the empty dump files of earlier runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "platform/crash_dump_handler.h"

namespace {

// kro started in the background, its standard output and error in files of its folder.
class BackgroundKro {
public:
    BackgroundKro(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& extra_env, rlim_t address_space = 0)
        : out_path_(cwd + "/stdout.txt"), err_path_(cwd + "/stderr.txt") {
        std::vector<std::string> env = environment_with(extra_env);
        std::vector<char*> argv{const_cast<char*>(KRO_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            if (address_space) {
                rlimit limit{address_space, address_space};
                setrlimit(RLIMIT_AS, &limit);
            }
            if (chdir(cwd.c_str()) != 0) _exit(127);
            execve(KRO_BINARY, argv.data(), envp.data());
            _exit(127);
        }
    }
    BackgroundKro(const BackgroundKro&) = delete;
    BackgroundKro& operator=(const BackgroundKro&) = delete;
    ~BackgroundKro() {
        if (pid_ > 0) kill(pid_, SIGKILL);
        wait();
    }

    pid_t pid() const { return pid_; }
    bool has_ended() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
        return pid_ <= 0;
    }
    // The wait status (see waitpid).
    int wait() {
        if (pid_ > 0) waitpid(pid_, &status_, 0);
        pid_ = -1;
        return status_;
    }
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

private:
    std::string out_path_;
    std::string err_path_;
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string job_file(const std::string& job_body) {
    return "<?xml version=\"1.0\"?><job><notifyjob><source><host>" + service_value("MARIADB_HOST") +
           "</host><port>" + service_value("MARIADB_PORT") + "</port><user>" + service_value("MARIADB_USER") +
           "</user><pwd>" + service_value("MARIADB_PASSWORD") + "</pwd><database>information_schema</database></source>" + job_body +
           "<result value=\"no\"/></notifyjob></job>";
}

// A notification job that waits in SELECT SLEEP(10); the token finds the statement in
// the server's process list.
std::string waiting_job(const std::string& token) {
    return job_file("<query>SELECT SLEEP(10), '" + token + "'</query>");
}

std::string new_token() {
    static int count = 0;
    return "crash-report-" + std::to_string(getpid()) + "-" + std::to_string(++count);
}

// The server's connection id of the statement that carries the token, once kro runs it.
std::string wait_until_running(BackgroundKro& kro, const std::string& token) {
    for (int tries = 0; tries < 600; ++tries) {
        std::string id = mariadb_value(
            "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE '%" + token +
            "%' AND ID <> CONNECTION_ID()");
        if (!id.empty()) return id;
        if (kro.has_ended()) break;
        usleep(50 * 1000);
    }
    ADD_FAILURE() << "kro did not reach its statement; output:\n" << kro.out() << kro.err();
    return "";
}

// Names and sizes of the files in a folder.
std::map<std::string, std::uintmax_t> folder_files(const std::string& path) {
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        files[entry.path().filename().string()] = entry.file_size();
    return files;
}

// The text of a report between its heading and the next blank line.
std::string section(const std::string& report, const std::string& heading) {
    std::size_t start = report.find("\n" + heading);
    if (start == std::string::npos) return "";
    std::size_t end = report.find("\n\n", start + 1);
    return report.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

struct CrashCase {
    int signal;
    const char* name;
    std::vector<std::string> args;      // after the job file
    std::vector<std::string> env;
    std::string expected_report;        // the dump file's full path
};

}  // namespace

TEST(CrashReport, AgentKilledBySegvOrAbortLeavesAReportAndNamesItOnStandardError) {
    TempDir dir;
    const std::string data_home = dir.file("data");
    const std::vector<CrashCase> cases = {
        // A relative fifth word: the message still gives the full path.
        {SIGSEGV, "SIGSEGV", {"-lkro.log", "-skrosession.xml", "dumps"}, {}, dir.file("dumps/KRO_Dump_000.dmp")},
        // No fifth word: the folder Velmar of XDG_DATA_HOME, made on the way.
        {SIGABRT, "SIGABRT", {}, {"XDG_DATA_HOME=" + data_home}, data_home + "/Velmar/KRO_Dump_000.dmp"},
    };
    for (const CrashCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string token = new_token();
        write_file(dir.file("job.xml"), waiting_job(token));
        std::vector<std::string> args = {"job.xml"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        BackgroundKro kro(args, dir.path(), c.env);
        ASSERT_FALSE(wait_until_running(kro, token).empty());
        const pid_t pid = kro.pid();
        ASSERT_EQ(kill(pid, c.signal), 0);
        int status = kro.wait();

        // The process ends by the signal itself, as the system would have ended it.
        ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status << "\n" << kro.out() << kro.err();
        EXPECT_EQ(WTERMSIG(status), c.signal);
        EXPECT_EQ(kro.err(), "KRO diagnostic message: KRO crashed!, dump file saved in " + c.expected_report + "\n");

        std::string report = read_file(c.expected_report);
        ASSERT_FALSE(report.empty());
        EXPECT_EQ(report.rfind("kro crash report\nProgram: Velmar Job Agent Version 8.2 \n", 0), 0u) << report;
        EXPECT_NE(report.find("\nSignal: " + std::to_string(c.signal) + " " + c.name + " ("), std::string::npos);
        EXPECT_NE(report.find("\nCode: 0 SI_USER: sent by kill\nSent by process: " + std::to_string(getpid()) + ", "),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find("\nThread: " + std::to_string(pid) + " (main thread)\n"), std::string::npos);
        // The backtrace names kro's own functions: the job was running inside run_agent.
        std::string backtrace = section(report, "Backtrace");
        EXPECT_NE(backtrace.find("run_agent"), std::string::npos) << backtrace;
        EXPECT_NE(section(report, "Registers").find(" RIP 0x"), std::string::npos) << report;
        EXPECT_NE(section(report, "Memory map").find(" r-xp "), std::string::npos) << report;
        EXPECT_NE(section(report, "Memory map").find(KRO_BINARY), std::string::npos);
        EXPECT_EQ(report.substr(report.size() - 15), "\nEnd of report\n");
        // The report is all that the crash leaves in the folder.
        auto files = folder_files(std::filesystem::path(c.expected_report).parent_path());
        EXPECT_EQ(files.size(), 1u);
    }
}

namespace {

// Recursion that only a stack overflow ends.
int recurse(volatile char* caller, long depth) {
    volatile char frame[512];
    frame[0] = caller ? caller[0] + 1 : 0;
    frame[1] = static_cast<char>(depth);
    if (depth < 0) return frame[0];
    return recurse(frame, depth + 1) + frame[1];
}

void overflow_the_stack(const std::string& folder) {
    CrashDumpHandler crash_dumps;
    crash_dumps.install(folder, "stack test");
    recurse(nullptr, 0);
}

}  // namespace

TEST(CrashReport, StackOverflowIsReportedFromTheAlternateStack) {
    TempDir dir;
    EXPECT_EXIT(overflow_the_stack(dir.path()), testing::KilledBySignal(SIGSEGV),
                "KRO crashed!, dump file saved in " + dir.path() + "/KRO_Dump_000.dmp\n");
    std::string report = read_file(dir.file("KRO_Dump_000.dmp"));
    EXPECT_NE(report.find("Program: stack test\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nSignal: 11 SIGSEGV"), std::string::npos) << report;
    // A fault, not a signal sent by someone: the code says which and the address is given.
    EXPECT_NE(report.find("\nCode: 1 SEGV_MAPERR: address not mapped to object\nFault address: 0x"),
              std::string::npos)
        << report;
    // The unwinder walked down the overflowed stack: a full backtrace of 64 frames.
    std::string backtrace = section(report, "Backtrace");
    EXPECT_EQ(std::count(backtrace.begin(), backtrace.end(), '\n'), 64) << backtrace;
    EXPECT_EQ(report.substr(report.size() - 15), "\nEnd of report\n");
}

TEST(CrashReport, RunsThatEndNormallyRemoveOnlyTheirOwnAndLeftoverEmptyDumpFiles) {
    TempDir dir;
    const std::string dumps = dir.file("dumps");
    std::filesystem::create_directory(dumps);
    write_file(dumps + "/KRO_Dump_000.dmp", "an earlier crash report\n");
    write_file(dumps + "/old.dmp", "");
    write_file(dumps + "/Empty.DMP", "");
    write_file(dumps + "/a.b.dmp", "");          // its text after the first dot is "b.dmp"
    write_file(dumps + "/notes.txt", "");
    write_file(dumps + "/report.dmp", "kept\n");
    auto kept = folder_files(dumps);
    kept.erase("old.dmp");
    kept.erase("Empty.DMP");

    // A run that waits: it removes the empty leftovers and takes the next free name.
    std::string token = new_token();
    write_file(dir.file("waiting.xml"), waiting_job(token));
    BackgroundKro waiting({"waiting.xml", "-lwaiting.log", "-swaiting-session.xml", dumps}, dir.path(), {});
    std::string connection = wait_until_running(waiting, token);
    ASSERT_FALSE(connection.empty());
    auto while_waiting = kept;
    while_waiting["KRO_Dump_001.dmp"] = 0;
    EXPECT_EQ(folder_files(dumps), while_waiting);

    // A second run meanwhile keeps the running agent's empty file and removes its own.
    write_file(dir.file("quick.xml"), job_file("<query>SELECT 1</query>"));
    RunResult quick = run_kro({"quick.xml", "-lquick.log", "-squick-session.xml", dumps}, dir.path());
    EXPECT_EQ(quick.exit_code, 0) << quick.out;
    EXPECT_EQ(folder_files(dumps), while_waiting);

    // The waiting run ends normally once its statement is cut short.
    mariadb_exec("KILL QUERY " + connection);
    int status = waiting.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(waiting.err(), "");
    EXPECT_EQ(folder_files(dumps), kept);
}

TEST(CrashReport, EveryEarlyExitRemovesTheUnusedDumpFile) {
    TempDir dir;
    // Without XDG_DATA_HOME the folder is under HOME; the usage text ends the run.
    const std::string home_dumps = dir.file("home/.local/share/Velmar");
    std::filesystem::create_directories(home_dumps);
    write_file(home_dumps + "/old.dmp", "");
    RunResult usage = run_kro({}, dir.path(), {"XDG_DATA_HOME=", "HOME=" + dir.file("home")});
    EXPECT_EQ(usage.exit_code, 1);
    EXPECT_NE(usage.out.find("Usage : kro"), std::string::npos);
    EXPECT_TRUE(folder_files(home_dumps).empty());

    // A job file that names no job, a bad option, and a job file that is not XML.
    const std::string dumps = dir.file("dumps");
    write_file(dir.file("nojob.xml"), "<job><nothing/></job>");
    write_file(dir.file("broken.xml"), "<job><notifyjob>");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"nojob.xml", "-lkro.log", "-skrosession.xml", dumps},
             {"nojob.xml", "-l", "-skrosession.xml", dumps},
             {"broken.xml", "-lkro.log", "-skrosession.xml", dumps}}) {
        RunResult r = run_kro(args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.out;
        EXPECT_TRUE(folder_files(dumps).empty()) << args[0] << " " << args[1];
    }

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with AddressSanitizer";
#else
    // Exhausted memory: a job file larger than the address space kro may use (a sparse
    // file: it takes no disk).
    std::filesystem::resize_file(dir.file("nojob.xml"), std::uintmax_t{1} << 30);
    BackgroundKro starved({"nojob.xml", "-lkro.log", "-skrosession.xml", dumps}, dir.path(), {}, 512u << 20);
    int status = starved.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(starved.out().find("Not enough memory, application terminated! "), std::string::npos) << starved.out();
    EXPECT_TRUE(folder_files(dumps).empty());
#endif
}

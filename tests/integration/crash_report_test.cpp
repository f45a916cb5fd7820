// Crash reports: kro killed by a fatal signal in the middle of a job leaves a report in
// its dump file and names the file on standard error; runs that end normally leave the
// dump folder as they found it, apart from the empty dump files of earlier runs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kro_test_support.h"
#include "mariadb_fixture.h"
#include "runner/crash_dump_handler.h"

using namespace kro::runner;

namespace {

// kro started in the background, its standard output and error in files of its folder.
class BackgroundKro {
public:
    BackgroundKro(std::vector<std::string> args, const std::string& cwd, const std::vector<std::string>& env = {})
        : cwd_(cwd) {
        std::vector<std::string> environment = environment_with(env);
        args.insert(args.begin(), KRO_BINARY);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        for (auto& e : environment) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(127);
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~BackgroundKro() {
        if (pid_ > 0) kill(pid_, SIGKILL);
        wait();
    }
    pid_t pid() const { return pid_; }
    bool running() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
        return pid_ > 0;
    }
    int wait() {  // the wait status
        if (pid_ > 0) waitpid(pid_, &status_, 0);
        pid_ = -1;
        return status_;
    }
    std::string out() const { return read_file(cwd_ + "/stdout.txt"); }
    std::string err() const { return read_file(cwd_ + "/stderr.txt"); }

private:
    std::string cwd_;
    pid_t pid_;
    int status_ = -1;
};

// A notification job on the test server that sends no mail.
std::string job_file(const std::string& query) {
    return "<?xml version=\"1.0\"?><job><notifyjob><source><host>" + service_value("MARIADB_HOST") +
           "</host><port>" + service_value("MARIADB_PORT") + "</port><user>" + service_value("MARIADB_USER") +
           "</user><pwd>" + service_value("MARIADB_PASSWORD") +
           "</pwd><database>information_schema</database></source><query>" + query +
           "</query><result value=\"no\"/></notifyjob></job>";
}

// Writes a job that waits in SELECT SLEEP(10); its token finds it in the process list.
std::string write_waiting_job(const std::string& path) {
    static int count = 0;
    std::string token = "crash-report-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    write_file(path, job_file("SELECT SLEEP(10), '" + token + "'"));
    return token;
}

// The server's connection id of the statement that carries the token, once kro runs it.
std::string wait_until_running(BackgroundKro& kro, const std::string& token) {
    for (int tries = 0; tries < 600 && kro.running(); ++tries) {
        std::string id = mariadb_value("SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE '%" +
                                       token + "%' AND ID <> CONNECTION_ID()");
        if (!id.empty()) return id;
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

// The part of a report from its heading to the next blank line.
std::string section(const std::string& report, const std::string& heading) {
    std::size_t start = report.find("\n" + heading);
    if (start == std::string::npos) return "";
    return report.substr(start + 1, report.find("\n\n", start + 1) - start - 1);
}

}  // namespace

TEST(CrashReport, AgentKilledBySegvOrAbortLeavesAReportAndNamesItOnStandardError) {
    const std::string kFailed = "KRO diagnostic message: Failed to save KRO dump file!\n";
    TempDir dir;
    const std::string data_home = dir.file("data");
    struct Case {
        int signal;
        std::string name;  // and its meaning, as the report gives them
        std::vector<std::string> args, env;
        std::string report_path;  // "": there is no dump folder, the report goes to standard error
    };
    for (const Case& c : std::vector<Case>{
             // A relative fifth word: the message still gives the full path.
             {SIGSEGV, "SIGSEGV (invalid memory reference)", {"job.xml", "-lkro.log", "-skrosession.xml", "dumps"},
              {}, dir.file("dumps/KRO_Dump_000.dmp")},
             // No fifth word: the folder Velmar of XDG_DATA_HOME, made on the way.
             {SIGABRT, "SIGABRT (abort)", {"job.xml"}, {"XDG_DATA_HOME=" + data_home},
              data_home + "/Velmar/KRO_Dump_000.dmp"},
             // A folder that cannot be made.
             {SIGSEGV, "SIGSEGV (invalid memory reference)",
              {"job.xml", "-lkro.log", "-skrosession.xml", "job.xml/dumps"}, {}, ""}}) {
        SCOPED_TRACE(c.name);
        std::string token = write_waiting_job(dir.file("job.xml"));
        BackgroundKro kro(c.args, dir.path(), c.env);
        const pid_t pid = kro.pid();
        ASSERT_FALSE(wait_until_running(kro, token).empty());
        ASSERT_EQ(kill(pid, c.signal), 0);
        int status = kro.wait();

        // The process ends by the signal itself, as the system would have ended it.
        ASSERT_TRUE(WIFSIGNALED(status)) << "wait status " << status << "\n" << kro.out() << kro.err();
        EXPECT_EQ(WTERMSIG(status), c.signal);
        std::string report;
        if (c.report_path.empty()) {
            report = kro.err();
            ASSERT_TRUE(report.ends_with("\nEnd of report\n" + kFailed)) << report;
            report.resize(report.size() - kFailed.size());
        } else {
            EXPECT_EQ(kro.err(), "KRO diagnostic message: KRO crashed!, dump file saved in " + c.report_path + "\n");
            EXPECT_EQ(folder_files(std::filesystem::path(c.report_path).parent_path()).size(), 1u);
            report = read_file(c.report_path);
        }
        EXPECT_EQ(report.rfind("kro crash report\nProgram: Velmar Job Agent Version 8.2 \n", 0), 0u) << report;
        EXPECT_NE(report.find("\nThread: " + std::to_string(pid) + " (main thread)\nSignal: " +
                              std::to_string(c.signal) + " " + c.name + "\nCode: 0 SI_USER: sent by kill\n" +
                              "Sent by process: " + std::to_string(getpid()) + ", "),
                  std::string::npos)
            << report;
        // The backtrace names kro's own functions: the job was running inside run_agent.
        EXPECT_NE(section(report, "Backtrace").find("run_agent"), std::string::npos) << report;
        EXPECT_NE(section(report, "Registers").find(" RIP 0x"), std::string::npos) << report;
        EXPECT_NE(section(report, "Memory map").find(std::string(" r-xp 00")), std::string::npos) << report;
        EXPECT_NE(section(report, "Memory map").find(KRO_BINARY), std::string::npos);
        EXPECT_TRUE(report.ends_with("\nEnd of report\n"));
        // The session file is closed well-formed after the report.
        EXPECT_EQ(read_file(dir.file("krosession.xml")), "<krosession><errors></errors></krosession>");
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
    // A fault, not a signal someone sent: its code and address.
    EXPECT_NE(report.find("\nSignal: 11 SIGSEGV (invalid memory reference)\n"
                          "Code: 1 SEGV_MAPERR: address not mapped to object\nFault address: 0x"),
              std::string::npos)
        << report;
    // The unwinder walked down the overflowed stack: a full backtrace of 64 frames.
    std::string backtrace = section(report, "Backtrace");
    EXPECT_EQ(std::count(backtrace.begin(), backtrace.end(), '\n'), 64) << backtrace;
    EXPECT_TRUE(report.ends_with("\nEnd of report\n"));
}

TEST(CrashReport, RunsThatEndNormallyRemoveOnlyTheirOwnAndLeftoverEmptyDumpFiles) {
    TempDir dir;
    const std::string dumps = dir.file("dumps");
    std::filesystem::create_directory(dumps);
    write_file(dumps + "/KRO_Dump_000.dmp", "an earlier crash report\n");
    write_file(dumps + "/report.dmp", "kept\n");
    for (const char* name : {"old.dmp", "Empty.DMP", "a.b.dmp", "notes.txt"}) write_file(dumps + "/" + name, "");
    auto kept = folder_files(dumps);
    kept.erase("old.dmp");
    kept.erase("Empty.DMP");

    // A run that waits: it has removed the empty leftovers and taken the next free name.
    std::string token = write_waiting_job(dir.file("waiting.xml"));
    BackgroundKro waiting({"waiting.xml", "-lwaiting.log", "-swaiting-session.xml", dumps}, dir.path());
    std::string connection = wait_until_running(waiting, token);
    ASSERT_FALSE(connection.empty());
    auto while_waiting = kept;
    while_waiting["KRO_Dump_001.dmp"] = 0;
    EXPECT_EQ(folder_files(dumps), while_waiting);

    // A second run meanwhile keeps the running agent's empty file and removes its own.
    write_file(dir.file("quick.xml"), job_file("SELECT 1"));
    RunResult quick = run_kro({"quick.xml", "-lquick.log", "-squick-session.xml", dumps}, dir.path());
    EXPECT_EQ(quick.exit_code, 0) << quick.out;
    EXPECT_EQ(folder_files(dumps), while_waiting);

    // The waiting run ends normally once its statement is cut short.
    mariadb_exec("KILL QUERY " + connection);
    int status = waiting.wait();
    EXPECT_TRUE(WIFEXITED(status)) << status;
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
    EXPECT_NE(usage.out.find("Usage : kro"), std::string::npos);
    EXPECT_TRUE(folder_files(home_dumps).empty());

    // A job file that names no job, a bad option, a job file that is not XML, and
    // exhausted memory: a job file larger than the address space kro may use (sparse: it
    // takes no disk).
    const std::string dumps = dir.file("dumps");
    write_file(dir.file("nojob.xml"), "<job><nothing/></job>");
    write_file(dir.file("broken.xml"), "<job><notifyjob>");
    write_file(dir.file("huge.xml"), "");
    std::filesystem::resize_file(dir.file("huge.xml"), std::uintmax_t{1} << 30);
    struct Run {
        std::string shell_prefix, job, log;
    };
    std::vector<Run> runs = {{"", "nojob.xml", "-lkro.log"}, {"", "nojob.xml", "-l"}, {"", "broken.xml", "-lkro.log"}};
#if !defined(__SANITIZE_ADDRESS__)  // address-space limits do not mix with AddressSanitizer
    runs.push_back({"ulimit -v 524288 && ", "huge.xml", "-lkro.log"});
#endif
    for (const Run& run : runs) {
        RunResult r = run_program("/bin/sh",
                                  {"-c", run.shell_prefix + "exec \"$0\" \"$@\"", KRO_BINARY, run.job, run.log,
                                   "-skrosession.xml", dumps},
                                  dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.out;
        EXPECT_TRUE(folder_files(dumps).empty()) << r.out;
        if (run.job == "huge.xml") {
            EXPECT_NE(r.out.find("\nNot enough memory, application terminated! "), std::string::npos);
        }
    }
}

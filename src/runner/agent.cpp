#include "runner/agent.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include <tinyxml2.h>

#include "common/out_of_memory.h"
#include "common/str_buf.h"
#include "platform/crash_report.h"
#include "platform/output_file.h"
#include "platform/stop_signals.h"
#include "platform/system_error.h"
#include "report/process_state.h"
#include "report/reporting.h"
#include "runner/crash_dump_handler.h"
#include "runner/job_file_check.h"
#include "runner/job_kinds.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;

namespace kro::runner {

namespace {

const char kBannerLine[] = "Velmar Job Agent Version 8.2 ";
const char kNoticeLine[] = "\nkro runs one MySQL/MariaDB job from an XML job file and exits.\n\n";
const char kUsage[] =
    "Usage : kro [job file] -l[logfile] -s[sessionfile]\n\nThe -s and -l parameters for "
    "specifying the session file and the log file are optional.\n\nA complete file path can be "
    "specified for both the jobfile and -l and -s parameters. If no path is specified files will "
    "be created in current directory. If user does not have write-privilege to current folder, a "
    "writable path needs to be specified for both -l and -s parameters.\n\n-l\tLogfile. All the "
    "errors will be logged in this file. \n\tBy default, the tool uses the filename "
    "'kro.log'.\n\n-s\tSessionfile. This is a file used internally. \n\tBy default, the tool uses "
    "the filename 'krosession.xml'.\n\n";
const char kDefaultLog[] = "kro.log";
const char kDefaultSession[] = "krosession.xml";

// An output file of the run. When the run ends before its job starts, a file that this
// run created is removed again, so a failed start leaves no stray files behind.
class RunFile {
public:
    RunFile() = default;
    RunFile(const RunFile&) = delete;
    RunFile& operator=(const RunFile&) = delete;
    ~RunFile() { close(); }

    // A file named again replaces the one before, which goes as if the start had failed.
    bool open(const std::string& path, const char* mode) {
        discard();
        std::error_code ec;
        created_ = !std::filesystem::exists(path, ec);
        path_ = path;
        // Logs and session files quote failed statements, and with them rows: owner only.
        stream_ = open_owner_only(path, mode);
        return stream_ != nullptr;
    }
    FILE* get() const { return stream_; }
    bool is_open() const { return stream_ != nullptr; }
    void close() {
        if (stream_) std::fclose(stream_);
        stream_ = nullptr;
    }
    // Closes the file and removes it when this run created it.
    void discard() {
        bool remove = stream_ && created_;
        close();
        std::error_code ec;
        if (remove) std::filesystem::remove(path_, ec);
    }
    // The file stays whatever happens now.
    void keep() { created_ = false; }

private:
    FILE* stream_ = nullptr;
    std::string path_;
    bool created_ = false;
};

// Opens the job file for reading; a folder is no job file.
// The job file opened for reading; null with why in reason.
FILE* open_job_file(const std::string& path, std::string& reason) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reason = platform::system_error_text(EISDIR);
        return nullptr;
    }
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) reason = platform::system_error_text(platform::last_system_error());
    return file;
}

// The runner's files while the command line is read; published to the process-wide
// state once the job is about to run.
struct StartFiles {
    RunFile log;
    RunFile session;
    FILE* job = nullptr;
    ~StartFiles() {
        if (job) std::fclose(job);
    }
    // Ends a failed start: nothing this run created is left behind.
    int fail(const char* message) {
        std::printf("%s", message);
        session.discard();
        log.discard();
        log_file = nullptr;
        return 1;
    }
};

// Reads the job file whole into a zero-terminated buffer (with slack, as parsers like).
// Its size is only a hint: a pipe has none, and a file may grow while it is read.
std::vector<char> read_job_text(FILE* job, long& bytes_read) {
    long size = 0;
    if (std::fseek(job, 0, SEEK_END) == 0) size = std::ftell(job);
    if (size < 0) size = 0;
    std::rewind(job);
    std::vector<char> text;
    std::size_t used = 0;
    try {
        text.assign(static_cast<std::size_t>(size) + 1024, '\0');
        for (;;) {
            if (text.size() - used < 2) text.resize(text.size() * 2, '\0');
            std::size_t n = std::fread(text.data() + used, 1, text.size() - used - 1, job);
            if (n == 0) break;
            used += n;
        }
    } catch (const std::bad_alloc&) {
        out_of_memory();
    }
    text[used] = '\0';
    bytes_read = static_cast<long>(used);
    return text;
}

// The job file named on the command line: the last word that is not an option.
std::string job_file_word(const std::vector<std::string>& words) {
    std::string job;
    for (std::size_t i = 1; i < words.size(); ++i)
        if (words[i].rfind("-", 0) != 0) job = words[i];
    return job;
}

// True when the path names the job file itself, under whatever name: writing the log or
// session there would destroy the job.
bool is_the_job_file(const std::string& path, const std::string& job) {
    std::error_code ec;
    return !job.empty() && std::filesystem::equivalent(path, job, ec);
}

// The stop by a signal, after whatever the job reported while it unwound.
void report_stop(int signal) {
    const std::string text = stop_text(signal);
    report_failure_no_entry(("\r\n" + text + "\r\n").c_str());
    add_session_entry(text.c_str());
}

constexpr char kSessionEnd[] = "</errors></krosession>";

// A run's exit code: 128 + the signal when one stopped it.
int exit_code_of(int code) {
    const int signal = stop_signal();
    return signal ? 128 + signal : code;
}

// The log's closing line of a run that ran a job (a job file that names none keeps the log
// to its one error).
void log_run_end(const char* kind, int code) {
    std::string outcome = code == 0 ? "succeeded" : "failed";
    if (int signal = stop_signal()) outcome = std::string("stopped by signal ") + stop_signal_name(signal);
    log_job_ended(kind, outcome.c_str(), exit_code_of(code), job_summary());
}

int run(int argc, char** argv) {
    // Lives to the last statement: every way out of the run removes its unused dump file.
    CrashDumpHandler crash_dumps;
    std::set_new_handler([] { out_of_memory(); });
    add_out_of_memory_hook(log_out_of_memory);
    {
        StrBuf banner;
        banner.format("%s%s", kBannerLine, kNoticeLine);
        banner_text = banner.str();
    }
    source_tunnel_process = kNoProcess;
    target_tunnel_process = kNoProcess;

    std::vector<std::string> words(argv, argv + argc);
    // The fifth word names the crash-dump folder (an empty one: none); it is never a job
    // file or option.
    std::string dump_directory;
    if (words.size() > 4) {
        dump_directory = words[4];
        words.erase(words.begin() + 4);
    }
    crash_dumps.install(dump_directory, kBannerLine);

    // The usage: asked for (exit code 0), or because no job was named (1).
    const bool help = words.size() == 2 && (words[1] == "-h" || words[1] == "--help");
    if (words.size() < 2 || help) {
        std::printf("%s%s", banner_text.c_str(), kUsage);
        return help ? 0 : 1;
    }
    if (words.size() == 2 && (words[1] == "-v" || words[1] == "--version")) {
        std::printf("%s \n", kBannerLine);
        return 1;
    }
    std::printf("%s", banner_text.c_str());

    StartFiles files;
    bool log_given = false;
    bool session_given = false;
    const std::string job_word = job_file_word(words);
    static const char kLogIsJob[] = "\r\nThe log file is the job file.\r\nError opening LOG file.\n";
    static const char kSessionIsJob[] =
        "\r\nThe session file is the job file.\r\nError opening session ERROR log file.\n";
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.rfind("-l", 0) == 0) {
            std::string path = word.substr(2);
            if (path.empty()) return files.fail("\nInvalid parameter for Logfile.\n");
            if (is_the_job_file(path, job_word)) return files.fail(kLogIsJob);
            if (!files.log.open(path, "a+")) return files.fail("\r\nError opening LOG file.\n");
            log_path = path;
            log_given = true;
        } else if (word.rfind("-s", 0) == 0) {
            std::string path = word.substr(2);
            if (path.empty()) return files.fail("\nInvalid parameter for Session Errorfile.\n");
            if (is_the_job_file(path, job_word)) return files.fail(kSessionIsJob);
            if (!files.session.open(path, "w"))
                return files.fail("\r\nError opening session ERROR log file.\n");
            session_given = true;
        } else if (word.rfind("-", 0) == 0) {
            continue;  // unknown options are ignored
        } else {
            if (files.job) std::fclose(files.job);
            std::string reason;
            files.job = open_job_file(word, reason);
            if (!files.job) {
                // Which file and why, after the fixed text.
                const std::string text = "\r\nError opening session Job file. (" + word + ": " + reason + ")\n";
                return files.fail(text.c_str());
            }
        }
    }
    if (!files.job) return files.fail("\r\nCould not open JOB file or no INPUT JOB file\r\n");
    {
        std::error_code ec;
        const std::filesystem::path absolute = std::filesystem::absolute(job_word, ec);
        job_path = ec ? job_word : absolute.lexically_normal().string();
    }
    if (!log_given) {
        if (is_the_job_file(kDefaultLog, job_word)) return files.fail(kLogIsJob);
        if (!files.log.open(kDefaultLog, "a+")) return files.fail("\r\nError opening LOG file.\n");
        log_path = kDefaultLog;
    }
    if (!session_given && is_the_job_file(kDefaultSession, job_word)) return files.fail(kSessionIsJob);
    if (!session_given && !files.session.open(kDefaultSession, "w"))
        return files.fail("\r\nError opening session ERROR log file.\n");

    // From here on every error goes through the reporting operations.
    files.log.keep();
    files.session.keep();
    log_file = files.log.get();
    session_file = files.session.get();
    // Entries reach the file as they are written, so that a crash report can end it well-formed.
    std::setvbuf(session_file, nullptr, _IONBF, 0);

    long bytes_read = 0;
    std::vector<char> job_text = read_job_text(files.job, bytes_read);
    // Checked before anything connects, with the findings kro-check gives for the file.
    const std::vector<kro::check::Finding> findings =
        check_job_file(std::string(job_text.data(), static_cast<std::size_t>(bytes_read)), job_word);
    tinyxml2::XMLDocument doc;
    const tinyxml2::XMLError parsed = doc.Parse(job_text.data());
    // The document holds its own copy of the text: a large job file is not kept twice.
    std::vector<char>().swap(job_text);
    int exit_code = 1;
    if (parsed != tinyxml2::XML_SUCCESS) {
        StrBuf text;
        text.format("Error in the job file. Error No. %d : %s\r\n", static_cast<int>(doc.ErrorID()),
                    doc.ErrorStr());
        report_failure(text.c_str());
    } else {
        tinyxml2::XMLNode* first = doc.FirstChild();
        int values_are_utf8 = (first && first->ToDeclaration()) ? 1 : 0;
        std::fputs("<krosession><errors>", session_file);
        close_file_on_crash(fileno(session_file), kSessionEnd);
        const JobKind* kind = find_job_kind(doc);
        int result = 0;
        if (kind) {
            if (report_job_file_findings(findings, job_word, doc, values_are_utf8))
                result = run_job_kind(*kind, doc, bytes_read, files.job, values_are_utf8);
        } else {
            static const char kInvalid[] = "Invalid JOB TYPE selected.\r\n";
            report_failure_no_entry(kInvalid);
        }
        if (int signal = stop_signal()) report_stop(signal);
        close_file_on_crash(-1, "");
        std::fputs(kSessionEnd, session_file);
        exit_code = result == 1 ? 0 : 1;
        if (kind) log_run_end(kind->element_name, exit_code);
    }

    files.log.close();
    log_file = nullptr;
    std::fclose(files.job);
    files.job = nullptr;
    files.session.close();
    session_file = nullptr;

    terminate_process(source_tunnel_process);
    terminate_process(target_tunnel_process);
    return exit_code;
}

}  // namespace

int run_agent(int argc, char** argv) {
    // Before any thread starts, so that every thread leaves the stop signals to its watcher.
    StopSignals stop_signals;
    return exit_code_of(run(argc, argv));
}

}  // namespace kro::runner

// Shared helpers of the test programs: temporary folders, files, running the kro binary,
// and the settings of the private test servers (the env file of scripts/services.sh).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

struct RunResult {
    int exit_code = -1;
    std::string out;  // everything kro wrote to standard output
    long peak_kb = 0;  // the program's largest resident size
};

// A fresh folder under /tmp, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// This process's environment with the entries "NAME=value" of extra_env put in place of
// the variables of the same names (of two entries with one name, the later one counts).
std::vector<std::string> environment_with(const std::vector<std::string>& extra_env);

// Runs the built kro (or another program given by its path) with the arguments in the
// folder cwd, standard input closed, in environment_with(extra_env). run_kro sets
// XDG_DATA_HOME to a folder of the build (extra_env may name another).
// terminal_columns above 0 gives the program a pseudo-terminal that wide as its standard
// input and output instead (out is then what the terminal received).
// A program started in the background as run_program starts it, with its files limited to
// file_size_limit bytes when that is not negative. wait() reads its output to the end and
// reaps it; a program still running when the object goes is killed.
class StartedProgram {
public:
    StartedProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                   const std::vector<std::string>& extra_env = {}, int terminal_columns = 0,
                   long file_size_limit = -1);
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    int pid() const { return pid_; }
    RunResult wait();

private:
    int pid_ = -1;
    kro::platform::UniqueFd output_;
};

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd,
                      const std::vector<std::string>& extra_env = {}, int terminal_columns = 0);
RunResult run_kro(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& extra_env = {});
// The environment run_kro gives kro (for starting it as a StartedProgram).
std::vector<std::string> kro_environment(const std::vector<std::string>& extra_env = {});
RunResult run_kro_on_terminal(const std::vector<std::string>& args, const std::string& cwd, int columns);

// A text for inside an XML attribute or element of a job file (line breaks as references,
// which XML keeps in attribute values).
std::string xml_escaped(const std::string& text);

// A TCP socket listening on 127.0.0.1 at a port the kernel chose. Connections to it are
// completed by the kernel and queue there; nobody answers them unless the test does.
struct LoopbackListener {
    explicit LoopbackListener(int socket_flags = 0);
    kro::platform::UniqueFd fd;
    int port = 0;
};

// A value of the services' env file; fails the calling test (fatally) when the file or
// the key is missing, so a test never runs without its server.
std::string service_value(const std::string& key);

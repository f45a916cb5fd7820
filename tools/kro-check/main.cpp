// kro-check: checks kro job files with the same code kro runs before every job. Prints one
// line per finding ("file:line: error: ..."), or "file: valid"; exits 0 when every file is
// clean, 1 when any is not, 2 for a bad command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "check/job_check.h"

using namespace kro::check;

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        const bool help = argc >= 2;
        std::fprintf(help ? stdout : stderr, "usage: kro-check JOBFILE...\n"
                                             "Validates kro job files as kro does before it runs one, and warns "
                                             "about what kro runs but prints a warning for.\n");
        return help ? 0 : 2;
    }
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const char* path = argv[i];
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::printf("%s: error: cannot read the file: %s\n", path, std::strerror(errno));
            result = 1;
            continue;
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        FileAccess access;
        const bool regular = read_file_access(path, access);
        const std::vector<Finding> findings = check_job_text(bytes.str(), regular ? &access : nullptr);
        for (const Finding& f : findings) std::printf("%s\n", finding_line(path, f).c_str());
        if (findings.empty())
            std::printf("%s: valid\n", path);
        else
            result = 1;
    }
    return result;
}

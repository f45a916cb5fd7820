// kro-check: checks kro job files against the job-file schema and for the traps a valid
// file can still hold. Prints one line per finding ("file:line: error: ..."), or
// "file: valid"; exits 0 when every file is clean, 1 when any is not, 2 for a bad
// command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>

#include "job_check.h"

using namespace kro::check;

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
        const bool help = argc >= 2;
        std::fprintf(help ? stdout : stderr, "usage: kro-check JOBFILE...\n"
                                             "Validates kro job files and warns about what kro would read otherwise "
                                             "than meant.\n");
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
        struct stat st {};
        const bool regular = stat(path, &st) == 0 && S_ISREG(st.st_mode);
        if (regular) {
            access.mode = st.st_mode & 07777;
            const group* g = getgrgid(st.st_gid);
            access.group_is_kro = g && std::strcmp(g->gr_name, "kro") == 0;
        }
        const std::vector<Finding> findings = check_job_text(bytes.str(), regular ? &access : nullptr);
        for (const Finding& f : findings) {
            if (f.line > 0)
                std::printf("%s:%d: %s: %s\n", path, f.line, f.error ? "error" : "warning", f.text.c_str());
            else
                std::printf("%s: %s: %s\n", path, f.error ? "error" : "warning", f.text.c_str());
        }
        if (findings.empty())
            std::printf("%s: valid\n", path);
        else
            result = 1;
    }
    return result;
}

#include "check/job_check.h"

#include <cstring>
#include <grp.h>
#include <sys/stat.h>

namespace kro::check {

bool read_file_access(const std::string& path, FileAccess& access) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    access.mode = st.st_mode & 07777;
    const group* g = getgrgid(st.st_gid);
    access.group_is_kro = g && std::strcmp(g->gr_name, "kro") == 0;
    return true;
}

std::string finding_line(const std::string& path, const Finding& finding) {
    const std::string where = finding.line > 0 ? path + ":" + std::to_string(finding.line) : path;
    return where + ": " + (finding.error ? "error" : "warning") + ": " + finding.text;
}

}  // namespace kro::check

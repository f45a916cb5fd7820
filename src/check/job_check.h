// Checks one job file: well-formed XML, valid against the job-file schema (built in), and
// free of the traps the schema cannot express (a yes/no switch whose first attribute is
// not yes or no, an unknown sync_action word, SQL with an unescaped "<" or "&", something
// before the job element, a job that selects nothing to do, non-ASCII text without an XML
// declaration, passwords in a file others may read). kro runs this on every job file
// before it connects anywhere and refuses one with an error; kro-check prints the same.
#pragma once

#include <string>
#include <vector>

namespace kro::check {

struct Finding {
    int line = 0;        // 0: the file as a whole
    bool error = true;   // false: a warning (kro runs the file and prints the warning)
    std::string text;
};

// Who may read a job file besides its owner.
struct FileAccess {
    unsigned mode = 0600;       // the permission bits
    bool group_is_kro = false;  // the file's group is kro's own (the units run as it)
};

// The findings for a job file's bytes, in the order of their lines; none when it is clean.
// With the file's access, a file that holds a password and that others may read is named.
std::vector<Finding> check_job_text(const std::string& text, const FileAccess* access = nullptr);

// Who may read the file at path; false when it is no regular file (a pipe has no mode to judge).
bool read_file_access(const std::string& path, FileAccess& access);

// "<path>:<line>: error: <text>" ("<path>: warning: <text>" for the file as a whole).
std::string finding_line(const std::string& path, const Finding& finding);

// The candidate closest to word (case ignored) within two edits, or one that word starts
// or is the start of; "" when none is, or word itself is one (for "did you mean").
std::string closest_name(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace kro::check

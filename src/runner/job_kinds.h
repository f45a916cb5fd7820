// The job kinds a job file can name, and their entry functions.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::runner {

// Runs one job. Arguments: the parsed job file, the number of bytes read from it, the
// open job file, the log file and whether the job file's texts are UTF-8 (else they are
// in the locale's character set). Returns 1 when the job succeeded.
using JobEntry = int (*)(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file,
                         FILE* log_file, int values_are_utf8);

struct JobKind {
    const char* element_name;  // the job element's name, compared without case
    JobEntry entry;            // null while the kind is not built into this kro yet
};

// The job kind named by the first child of the document's root element, or null.
const JobKind* find_job_kind(tinyxml2::XMLDocument& doc);
// Runs the kind's job, or says clearly that this kro cannot run it yet (result 0).
int run_job_kind(const JobKind& kind, tinyxml2::XMLDocument& doc, long bytes_read,
                 FILE* job_file, int values_are_utf8);

}  // namespace kro::runner

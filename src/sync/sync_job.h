// The syncjob: makes the tables of a target server equal to those of a source server (or,
// two-way, gives both the union of their rows), directly, as a SQL script, or both.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::sync {

// The job runner's entry for `syncjob`; 1 when every table was synced.
int run_sync_job(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file, FILE* log_file,
                 int values_are_utf8);

}  // namespace kro::sync

// The job-file check kro runs before a job starts: the same findings kro-check prints.
// Errors end the run before anything connects; warnings are printed and logged.
#pragma once

#include <string>
#include <vector>

#include "check/job_check.h"

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::runner {

// The findings for the job file's text; path names the file in them.
std::vector<check::Finding> check_job_file(const std::string& text, const std::string& path);

// Prints and logs each finding ("<path>:<line>: error: ..."). With an error among them the
// errors also go to the session file and, when the job asks for a report mail and its mail
// settings are complete, into a failure report; returns 0 then: the job must not run.
int report_job_file_findings(const std::vector<check::Finding>& findings, const std::string& path,
                             const tinyxml2::XMLDocument& doc, int values_are_utf8);

}  // namespace kro::runner

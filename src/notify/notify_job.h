// The notifyjob: runs a list of statements against one server and mails the result sets.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::notify {

// The job entry the runner calls; 1 when every step succeeded.
int run_notify_job(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file, FILE* log_file,
                   int values_are_utf8);

}  // namespace kro::notify

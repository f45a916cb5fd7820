// The exportjob: reads its settings, checks them, hands them to a DumpWriter, runs it with
// progress lines on the console and in the report, mails the report when asked and prints
// the time taken.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::export_ {

// The job runner's entry for `exportjob`; 1 when the export succeeded.
int export_job_entry(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file, FILE* log_file,
                     int values_are_utf8);

}  // namespace kro::export_

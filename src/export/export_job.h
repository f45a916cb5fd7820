// The exportjob: reads its settings, checks them, hands them to a DumpWriter, runs it with
// progress lines on the console and in the report, mails the report when asked and prints
// the time taken.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

struct ExportJob;
class DumpWriter;

// The job runner's entry for `exportjob`; 1 when the export succeeded.
int export_job_entry(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file, FILE* log_file,
                     int values_are_utf8);

// Gives the writer the job's settings, in the order the writer expects them. 0 when the
// output directory's time-stamped sub-directory could not be made (the run then finds no
// output file).
int configure_dump_writer(ExportJob& job, DumpWriter& writer, int values_are_utf8);

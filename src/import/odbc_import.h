// The odbcimport job: copies tables, or one query's result, from an ODBC source into a
// MySQL database, creating the tables with their keys, indexes and foreign keys.
#pragma once

#include <cstdio>

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::import {

// The job runner's entry for `odbcimport`; 1 when the import succeeded.
int odbc_import_entry(tinyxml2::XMLDocument& doc, long bytes_read, FILE* job_file, FILE* log_file,
                      int values_are_utf8);

}  // namespace kro::import

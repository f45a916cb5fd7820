// The reports of a connection's errors, taking the error number and text from the handle.
#pragma once

#include <mysql.h>

#include "common/str_buf.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::connection {

class Tunnel;

// "\r\nERROR: %ld, %s" to the console, check line, log and session file.
void report_connection_error(Tunnel& tunnel, MYSQL* handle);
// A failed statement (see report_query_error in report/reporting.h).
void report_query_error(Tunnel& tunnel, MYSQL* handle, const char* table, report::ReportBody& report,
                        common::StrBuf* last_error);

}  // namespace kro::connection

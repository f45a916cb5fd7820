// The reports of a connection's errors, taking the error number and text from the handle,
// and the words that say which server an error came from.
#pragma once

#include <string>
#include <string_view>

#include <mysql.h>

#include "common/str_buf.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::connection {

class Tunnel;
struct ConnectionInfo;

// Which server: "target 127.0.0.1:3307" (side null or empty: the address alone), with
// " through SSH <ssh host>" or " through the HTTP tunnel" when one is used.
std::string server_place(const ConnectionInfo& info, const char* side);
// text with " (detail)" added before its closing line breaks, so that a fixed message
// keeps its words and gains the particulars.
std::string with_detail(std::string_view text, std::string_view detail);

// "\r\nERROR: %ld, %s" to the console, check line, log and session file; with a place,
// " (<place>)" follows, so that the source and the target are told apart.
void report_connection_error(Tunnel& tunnel, MYSQL* handle, const std::string& place = "");
// A failed statement (see report_query_error in report/reporting.h).
void report_query_error(Tunnel& tunnel, MYSQL* handle, const char* table, report::ReportBody& report,
                        common::StrBuf* last_error);

}  // namespace kro::connection

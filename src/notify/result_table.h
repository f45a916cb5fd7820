// The mail's table of one result set: an HTML table and tab-separated plain rows.
#pragma once

#include <mysql.h>

#include "connection/tunnel.h"

namespace kro::report {
struct ReportBody;
}

namespace kro::notify {

// Appends the header and every row of the result (read from its first row) to both
// texts of the body. HTML cells are HTML-escaped; the plain text shows values as they are.
void append_result_table(connection::Tunnel& tunnel, MYSQL* handle, connection::TunnelResult* result, report::ReportBody& body);

}  // namespace kro::notify

// The mail's table of one result set: an HTML table and tab-separated plain rows.
#pragma once

#include <mysql.h>

#include "connection/tunnel.h"

struct ReportBody;

// Appends the header and every row of the result (read from its first row) to both
// texts of the body. HTML cells are HTML-escaped; the plain text shows values as they are.
void append_result_table(Tunnel& tunnel, MYSQL* handle, TunnelResult* result, ReportBody& body);

#include "connection/connection_report.h"

#include "connection/tunnel.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::connection {

void report_connection_error(Tunnel& tunnel, MYSQL* handle) {
    report_error_number(static_cast<long>(tunnel.error_number(handle)), tunnel.error(handle));
}

void report_query_error(Tunnel& tunnel, MYSQL* handle, const char* table, ReportBody& report,
                        StrBuf* last_error) {
    report_query_error(tunnel.error_number(handle), tunnel.error(handle), table, report, last_error);
}

}  // namespace kro::connection

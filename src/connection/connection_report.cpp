#include "connection/connection_report.h"

#include "connection/connection_info.h"
#include "connection/tunnel.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::connection {

std::string server_place(const ConnectionInfo& info, const char* side) {
    std::string place = side && *side ? std::string(side) + " " : "";
    place += info.host.str() + ":" + std::to_string(info.port);
    if (info.use_ssh) place += " through SSH " + info.ssh_host.str();
    if (info.use_http) place += " through the HTTP tunnel";
    return place;
}

std::string with_detail(std::string_view text, std::string_view detail) {
    const std::size_t end = text.find_last_not_of("\r\n");
    const std::size_t body = end == std::string_view::npos ? 0 : end + 1;
    std::string out(text.substr(0, body));
    out += " (";
    out += detail;
    out += ")";
    out += text.substr(body);
    return out;
}

void report_connection_error(Tunnel& tunnel, MYSQL* handle, const std::string& place) {
    StrBuf text;
    const char* error = tunnel.error(handle);
    text.format("\r\nERROR: %ld, %s", static_cast<long>(tunnel.error_number(handle)), error ? error : "");
    report_failure(place.empty() ? text.c_str() : with_detail(text.view(), place).c_str());
}

void report_query_error(Tunnel& tunnel, MYSQL* handle, const char* table, ReportBody& report,
                        StrBuf* last_error) {
    report_query_error(tunnel.error_number(handle), tunnel.error(handle), table, report, last_error);
}

}  // namespace kro::connection

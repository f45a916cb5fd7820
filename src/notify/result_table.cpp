#include "notify/result_table.h"

#include <cstring>

#include "common/html_text.h"
#include "report/report_body.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;

namespace kro::notify {

namespace {

void append_cell(ReportBody& body, StrBuf& scratch, const char* open, const char* text,
                 std::size_t length, const char* plain_tail) {
    scratch.clear();
    scratch.append(open);
    append_html_escaped(scratch, text, length);
    scratch.append("</td>");
    ReportBody::append_to(body.html, scratch.c_str(), scratch.length());
    ReportBody::append_to(body.plain, text, length);
    ReportBody::append_to(body.plain, plain_tail, 1);
}

}  // namespace

void append_result_table(Tunnel& tunnel, MYSQL* handle, TunnelResult* result, ReportBody& body) {
    body.append("<table border=1 width='100%' cellspacing='0' cellpadding='1'><tr>", "");
    StrBuf scratch;
    unsigned int columns = tunnel.num_fields(result);
    MYSQL_FIELD* fields = tunnel.fetch_fields(result);
    for (unsigned int i = 0; i < columns; ++i) {
        const char* name = fields[i].name;
        if (!name) continue;
        append_cell(body, scratch, i == 0 ? "<td class=\"topheaderfirst\">" : "<td class=\"topheader\">", name,
                    std::strlen(name), "\t");
    }
    body.append("</tr>", "\r\n");

    unsigned int values = tunnel.field_count(handle);
    tunnel.data_seek(result, 0);
    while (MYSQL_ROW row = tunnel.fetch_row(result)) {
        unsigned long* lengths = tunnel.fetch_lengths(result);
        body.append("<tr>", "");
        for (unsigned int i = 0; i < values; ++i) {
            if (!row[i]) {
                body.append(i == 0 ? "<td class=\"datacolsfirst\">NULL</td>" : "<td class=\"datacols\">NULL</td>",
                            "NULL\t");
            } else if (lengths[i] == 0) {
                body.append("<td class=\"datacols\">&nbsp;</td>", " \t");
            } else {
                append_cell(body, scratch, i == 0 ? "<td  class=\"datacolsfirst\">" : "<td  class=\"datacols\">",
                            row[i], lengths[i], "\t");
            }
        }
        body.append("</tr>", "\r\n");
    }
    body.append("</table><br>", "\r\n");
}

}  // namespace kro::notify

#include "notify/notify_settings.h"

#include <strings.h>
#include <tinyxml2.h>

#include "common/job_xml.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::notify {

void read_notify_job(const tinyxml2::XMLElement* job, NotifyJob& s, int values_are_utf8) {
    reset_connection_info(s.source);
    if (!job) return;
    if (const tinyxml2::XMLElement* source = job->FirstChildElement("source"))
        read_connection_info(source, s.source, s.http, values_are_utf8);
    read_mail_settings(job->FirstChildElement("smtp"), s.mail, values_are_utf8);
    read_element_text(job->FirstChildElement("query"), s.query, values_are_utf8);
    if (const tinyxml2::XMLElement* e = job->FirstChildElement("abortonerror"))
        s.abort_on_error = first_attribute_is_yes(e) ? 1 : 0;
    if (const tinyxml2::XMLElement* e = job->FirstChildElement("result"))
        s.send_result = strcasecmp(first_attribute_value(e), "no") == 0 ? 0 : 1;
    if (const tinyxml2::XMLElement* e = job->FirstChildElement("includequery"))
        s.include_query = first_attribute_is_yes(e) ? 1 : 0;
    if (const tinyxml2::XMLElement* e = job->FirstChildElement("includemsg"))
        s.include_msg = first_attribute_is_yes(e) ? 1 : 0;
}

int validate_notify_job(const NotifyJob& s) {
    const ConnectionInfo& c = s.source;
    if (c.database.empty() || c.host.empty() || c.user.empty() || c.port == 0) {
        report_failure(("Source SERVER information not complete" + incomplete_server_detail(c, true) + "\r\n").c_str());
        return 0;
    }
    // Only white space is no statement either.
    if (s.query.view().find_first_not_of(" \t\r\n") == std::string_view::npos) {
        report_failure("You should specify atleast one query\r\n");
        return 0;
    }
    if (s.send_result && !check_mail_settings(s.mail)) return 0;
    return check_tunnel_settings(c);
}

}  // namespace kro::notify

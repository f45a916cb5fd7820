#include "runner/job_file_check.h"

#include <strings.h>
#include <tinyxml2.h>

#include "common/timestamp.h"
#include "mail/mail_settings.h"
#include "mail/report_texts.h"
#include "report/report_body.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::mail;

namespace kro::runner {

namespace {

// The report kind of a job that can ask for a report mail.
bool report_kind_of(const char* job, ReportKind& kind) {
    if (strcasecmp(job, "syncjob") == 0) kind = ReportKind::sync;
    else if (strcasecmp(job, "exportjob") == 0) kind = ReportKind::export_job;
    else if (strcasecmp(job, "odbcimport") == 0) kind = ReportKind::import_job;
    else return false;
    return true;
}

// The failure report of a refused job file, when the job asks for one and its own mail
// settings can send it. Nothing else is said when they cannot: the file is refused already.
void mail_refusal(const tinyxml2::XMLDocument& doc, int values_are_utf8) {
    const tinyxml2::XMLElement* root = doc.RootElement();
    const tinyxml2::XMLElement* job = root ? root->FirstChildElement() : nullptr;
    ReportKind kind;
    if (!job || !report_kind_of(job->Name(), kind)) return;
    ReportRequest request;
    read_report_request(job->FirstChildElement("sendreport"), request, values_are_utf8);
    if (!request.send_report || !request.setting_error.empty() || !request.mail.setting_error.empty() ||
        missing_mail_setting(request.mail, nullptr))
        return;
    ReportBody body;
    const StrBuf time = asctime_text();
    start_report(body, kind, time.c_str());
    end_report_work(body);
    send_report_if_asked(request, kind, 0, body, time.c_str());
}

}  // namespace

std::vector<check::Finding> check_job_file(const std::string& text, const std::string& path) {
    check::FileAccess access;
    const bool regular = check::read_file_access(path, access);
    return check::check_job_text(text, regular ? &access : nullptr);
}

int report_job_file_findings(const std::vector<check::Finding>& findings, const std::string& path,
                             const tinyxml2::XMLDocument& doc, int values_are_utf8) {
    std::string errors;
    for (const check::Finding& finding : findings) {
        const std::string line = check::finding_line(path, finding) + "\r\n";
        if (finding.error)
            errors += line;
        else
            print_and_log(line.c_str());
    }
    if (errors.empty()) return 1;
    // One report: the console's pointer to the log follows the whole list once.
    errors += "The job file was refused before anything was read or written.\r\n";
    report_failure(errors.c_str());
    mail_refusal(doc, values_are_utf8);
    flush_outputs();
    return 0;
}

}  // namespace kro::runner

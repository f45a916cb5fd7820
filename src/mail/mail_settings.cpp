#include "mail/mail_settings.h"

#include <strings.h>

#include <tinyxml2.h>

#include "common/job_xml.h"
#include "common/str_buf.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;

namespace kro::mail {

namespace {

bool equals_nocase(const char* a, const char* b) { return a && b && strcasecmp(a, b) == 0; }

// A setting's text without the white space around it; a password as it is written.
std::optional<std::string> element_text(const tinyxml2::XMLElement* e, int values_are_utf8, bool is_password = false) {
    const char* text = e ? e->GetText() : nullptr;
    if (!text) return std::nullopt;
    return StrBuf(is_password ? text : trimmed(text).c_str(), values_are_utf8).str();
}

const tinyxml2::XMLElement* child_nocase(const tinyxml2::XMLElement* parent, const char* name) {
    for (auto* c = parent->FirstChildElement(); c; c = c->NextSiblingElement())
        if (equals_nocase(c->Name(), name)) return c;
    return nullptr;
}

bool attribute_is_yes(const tinyxml2::XMLElement* e, const char* name) {
    const char* value = e->Attribute(name);
    return value && equals_nocase(value, "yes");
}

bool empty(const std::optional<std::string>& text) { return !text || text->empty(); }

}  // namespace

void read_mail_settings(const tinyxml2::XMLElement* smtp, MailSettings& settings,
                        int values_are_utf8) {
    if (!smtp) return;
    const std::pair<const char*, std::optional<std::string> MailSettings::*> text_keys[] = {
        {"displayname", &MailSettings::display_name}, {"toemail", &MailSettings::to_email},
        {"fromemail", &MailSettings::from_email},     {"cc", &MailSettings::cc},
        {"bcc", &MailSettings::bcc},                  {"replyemail", &MailSettings::reply_to},
        {"host", &MailSettings::host},                {"port", &MailSettings::port},
        {"subject", &MailSettings::subject},          {"encryption", &MailSettings::encryption},
    };
    for (auto* e = smtp->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (equals_nocase(e->Name(), "auth")) {
            if (read_switch(e, settings.setting_error)) {
                settings.use_auth = 1;
                settings.user = element_text(child_nocase(e, "user"), values_are_utf8);
                settings.password = element_text(child_nocase(e, "pwd"), values_are_utf8, true);
            }
            continue;
        }
        bool known = false;
        for (const auto& [name, field] : text_keys) {
            if (equals_nocase(e->Name(), name)) {
                settings.*field = element_text(e, values_are_utf8);
                if (field == &MailSettings::subject) {
                    settings.subject_outcome = attribute_is_yes(e, "outcome");
                    settings.subject_host = attribute_is_yes(e, "host");
                }
                known = true;
                break;
            }
        }
        if (!known) return;
    }
}

const char* missing_mail_setting(const MailSettings& settings, bool* no_subject) {
    if (no_subject) *no_subject = false;
    if (empty(settings.host)) return "Please specify your SMTP host address\r\n";
    if (empty(settings.display_name)) return "Please specify EMAIL FROM name\r\n";
    if (empty(settings.to_email)) return "You should provide TO email address\r\n";
    if (empty(settings.subject) && no_subject) *no_subject = true;
    if (settings.use_auth && empty(settings.user))
        return "Please specify an LOGIN NAME for authorization\r\n";
    return nullptr;
}

void read_report_request(const tinyxml2::XMLElement* sendreport, ReportRequest& request,
                         int values_are_utf8) {
    if (!sendreport) return;
    request.send_report = read_switch(sendreport, request.setting_error) ? 1 : 0;
    const char* when = sendreport->Attribute("when");
    request.report_always = when && equals_nocase(trimmed(when).c_str(), "always") ? 1 : 0;
    read_mail_settings(child_nocase(sendreport, "smtp"), request.mail, values_are_utf8);
}

int check_mail_settings(const MailSettings& settings) {
    if (!settings.setting_error.empty()) {
        report_failure(settings.setting_error.c_str());
        return 0;
    }
    bool no_subject = false;
    const char* missing = missing_mail_setting(settings, &no_subject);
    if (no_subject) report_failure_no_entry("WARNING : No subject for email provided.\r\n");
    if (!missing) return 1;
    report_failure(missing);
    return 0;
}

int check_report_request(const ReportRequest& request) {
    if (!request.setting_error.empty()) {
        report_failure(request.setting_error.c_str());
        return 0;
    }
    return !request.send_report || check_mail_settings(request.mail);
}

}  // namespace kro::mail

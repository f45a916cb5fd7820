// The mail settings of a job file (its `smtp` element) and the `sendreport` element that
// turns the report mail on. Owned by the job that read them.
#pragma once

#include <optional>
#include <string>

namespace tinyxml2 {
class XMLElement;
}

namespace kro::mail {

struct MailSettings {
    // Absent elements, and elements without text, stay empty (nullopt).
    std::optional<std::string> display_name;
    std::optional<std::string> from_email;
    std::optional<std::string> host;
    std::optional<std::string> encryption;  // "no", "tls" or "ssl"
    std::optional<std::string> port;        // decimal; 25 when absent
    std::optional<std::string> to_email;    // address lists
    std::optional<std::string> subject;
    // <subject outcome="yes" host="yes">: a report mail's subject shows the job's outcome
    // ("[failed] ") before it and the machine kro ran on (" (db1)") after it.
    bool subject_outcome = false;
    bool subject_host = false;
    std::optional<std::string> reply_to;
    std::optional<std::string> cc;
    std::optional<std::string> bcc;
    int use_auth = 0;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string setting_error;  // an `auth` switch that is neither yes nor no
};

// Reads the children of an `smtp` element (null: nothing) in document order, names without
// regard to case; the first unknown element ends the reading. values_are_utf8 0 converts
// the texts from the locale's character set.
void read_mail_settings(const tinyxml2::XMLElement* smtp, MailSettings& settings,
                        int values_are_utf8);

// The first missing mail setting as the jobs report it ("Please specify your SMTP host
// address\r\n", ...), or null when the settings are complete. *no_subject is set when the
// checks got as far as an empty subject, which is only a warning.
const char* missing_mail_setting(const MailSettings& settings, bool* no_subject);
// The jobs' mail check: a switch that is neither yes nor no, the no-subject warning
// (report_failure_no_entry) and the first missing setting (report_failure). 0 when a
// setting is missing or wrong.
int check_mail_settings(const MailSettings& settings);

// The `sendreport` element of the sync, export and import jobs.
struct ReportRequest {
    int send_report = 0;    // first attribute, whatever its name, is "yes" (no case)
    int report_always = 0;  // attribute `when` is "always" (no case): mail success too
    MailSettings mail;      // its `smtp` child
    std::string setting_error;  // the first attribute is neither yes nor no
};

void read_report_request(const tinyxml2::XMLElement* sendreport, ReportRequest& request,
                         int values_are_utf8);
// The request's own switch (report_failure when it is neither yes nor no), then, when a
// report is asked for, check_mail_settings. 0 when the job must not run.
int check_report_request(const ReportRequest& request);

}  // namespace kro::mail

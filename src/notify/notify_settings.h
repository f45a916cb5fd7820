// The settings of a notifyjob: the server, the mail, the statements and the switches.
#pragma once

#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "mail/mail_settings.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::notify {

struct NotifyJob {
    connection::ConnectionInfo source;
    connection::HttpTunnelSettings http;
    mail::MailSettings mail;
    common::StrBuf query;
    int abort_on_error = 0;
    int send_result = 1;    // mail the result sets
    int include_query = 0;  // put each statement's text into the mail
    int include_msg = 1;    // put row counts and error texts into the mail
};

void read_notify_job(const tinyxml2::XMLElement* job, NotifyJob& settings, int values_are_utf8);
// Reports the first missing setting (report_failure) and gives 0; 1 when complete.
int validate_notify_job(const NotifyJob& settings);

}  // namespace kro::notify

// Texts a sync run shows: on the console, in both report bodies and in the log.
#pragma once

namespace kro::report {
struct ReportBody;
}

namespace kro::sync {

// The text as it is on the console and in the log, HTML-escaped in the HTML body.
void show_everywhere(report::ReportBody& report, const char* text);
// A warning: both report bodies (then "<br>" / "\r\n"), the console, the check line, and
// the log followed by "\n". No session entry.
void show_warning(report::ReportBody& report, const char* text);

}  // namespace kro::sync

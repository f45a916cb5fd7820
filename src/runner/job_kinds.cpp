#include "runner/job_kinds.h"

#include <strings.h>
#include <tinyxml2.h>

#include "common/str_buf.h"
#include "export/export_job.h"
#include "import/odbc_import.h"
#include "notify/notify_job.h"
#include "report/process_state.h"
#include "report/reporting.h"
#include "sync/sync_job.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::notify;
using namespace kro::export_;
using namespace kro::sync;
using namespace kro::import;

namespace kro::runner {

namespace {

const JobKind kJobKinds[] = {
    {"syncjob", run_sync_job},
    {"notifyjob", run_notify_job},
    {"exportjob", export_job_entry},
    {"odbcimport", odbc_import_entry},
};

}  // namespace

const JobKind* find_job_kind(tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLElement* root = doc.RootElement();
    if (!root || !root->FirstChild()) return nullptr;
    tinyxml2::XMLElement* job = root->FirstChild()->ToElement();
    if (!job) return nullptr;
    for (const JobKind& kind : kJobKinds)
        if (strcasecmp(job->Name(), kind.element_name) == 0) return &kind;
    return nullptr;
}

int run_job_kind(const JobKind& kind, tinyxml2::XMLDocument& doc, long bytes_read,
                 FILE* job_file, int values_are_utf8) {
    if (!kind.entry) {
        StrBuf text;
        text.format("\r\nThe job kind '%s' is not available in this version of kro yet.\r\n",
                    kind.element_name);
        report_failure(text.c_str());
        return 0;
    }
    return kind.entry(doc, bytes_read, job_file, log_file, values_are_utf8);
}

}  // namespace kro::runner

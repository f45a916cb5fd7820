#include "export/export_settings.h"

#include <cstdlib>
#include <strings.h>

#include <tinyxml2.h>

#include "common/job_xml.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::export_ {

namespace {

using tinyxml2::XMLElement;

// Settings are read without the white space that pretty-printed job files put around them.
std::string text_of(const XMLElement* e) { return setting_text(e); }

bool attribute_is_nocase(const XMLElement* e, const char* name, const char* value) {
    const char* a = e->Attribute(name);
    return a && strcasecmp(a, value) == 0;
}

struct GroupNames {
    const char* group;
    const char* item;
};

const GroupNames kGroups[kObjectKinds] = {
    {"tables", "table"},       {"views", "view"},         {"procedures", "procedure"},
    {"functions", "function"}, {"triggers", "trigger"}, {"events", "event"},
    {"packages", "package"},
};

// The names of a group element's item children, in document order, up to the first
// item without text.
void read_names(const XMLElement* group, const char* item, std::vector<std::string>& names,
                int values_are_utf8) {
    for (const XMLElement* e = group->FirstChildElement(item); e; e = e->NextSiblingElement(item)) {
        const char* t = e->GetText();
        if (!t || !*t) break;
        names.push_back(StrBuf(t, values_are_utf8).str());
    }
}

// The objects one <database> selects; the views, procedures and functions it takes all of
// are also created (the options that say so hold for the whole job).
void read_objects(const XMLElement* objects, DatabaseSelection& selection, ExportOptions& options,
                  int values_are_utf8) {
    if (!objects) return;
    if (attribute_is_nocase(objects, "all", "yes")) {
        selection.all_objects = 1;
        return;
    }
    int* creates[kObjectKinds] = {nullptr, &options.createview, &options.createprocedure, &options.createfunction,
                                  nullptr, nullptr, nullptr};
    for (int kind = 0; kind < kObjectKinds; ++kind) {
        const XMLElement* group = objects->FirstChildElement(kGroups[kind].group);
        if (!group) continue;
        if (attribute_is_nocase(group, "all", "yes")) {
            selection.all_of_kind[kind] = 1;
            if (creates[kind]) *creates[kind] = 1;
        } else {
            read_names(group, kGroups[kind].item, selection.lists[kind], values_are_utf8);
        }
    }
}

// Form A: the listed databases, each with its objects, or every database but those an
// <exclude> names. Its yes/no attributes take yes in any letter case, like the job file's
// other yes/no keys: an all="YES" read as no would export nothing and pass for a success.
void read_databases(const XMLElement* databases, ExportJob& job, int values_are_utf8) {
    if (attribute_is_nocase(databases, "all", "yes")) {
        job.all_databases = 1;
        job.include_mysql_db = attribute_is_nocase(databases, "mysqldb", "yes") ? 1 : 0;
        for (const XMLElement* e = databases->FirstChildElement("exclude"); e; e = e->NextSiblingElement("exclude")) {
            if (const char* name = e->Attribute("name")) job.excluded_names.push_back(StrBuf(name, values_are_utf8).str());
            if (const char* like = e->Attribute("like")) job.excluded_patterns.push_back(StrBuf(like, values_are_utf8).str());
        }
        return;
    }
    for (const XMLElement* d = databases->FirstChildElement("database"); d; d = d->NextSiblingElement("database")) {
        DatabaseSelection& selection = job.databases.emplace_back();
        selection.name = StrBuf(d->Attribute("name"), values_are_utf8).str();
        read_objects(d->FirstChildElement("objects"), selection, job.options, values_are_utf8);
    }
    if (job.databases.empty()) return;
    // The first database is the connection's, and what it selects is the job's to start with.
    const DatabaseSelection& first = job.databases.front();
    job.source.database.assign(first.name.c_str(), 1);
    job.all_objects = first.all_objects;
    for (int kind = 0; kind < kObjectKinds; ++kind) {
        job.all_of_kind[kind] = first.all_of_kind[kind];
        job.lists[kind] = first.lists[kind];
    }
}

// Form B: tables of the source connection's database.
void read_tables(const XMLElement* tables, ExportJob& job, int values_are_utf8) {
    if (attribute_is_nocase(tables, "all", "no"))
        read_names(tables, "table", job.lists[kTables], values_are_utf8);
    else
        job.all_of_kind[kTables] = 1;
}

void read_script(const XMLElement* script, ExportJob& job, int values_are_utf8) {
    job.to_file = attribute_is_nocase(script, "fileordir", "dir") ? 0 : 1;
    job.timestamp = attribute_is_nocase(script, "timestamp", "yes") ? 1 : 0;
    job.timestampdir = attribute_is_nocase(script, "timestampdir", "yes") ? 1 : 0;
    job.path.assign(text_of(script).c_str(), values_are_utf8);
}

struct YesNoKey {
    const char* name;
    int ExportOptions::*field;
};

const YesNoKey kYesNoKeys[] = {
    {"bulkinsert", &ExportOptions::bulkinsert},
    {"chunkinsert", &ExportOptions::chunkinsert},
    {"createdb", &ExportOptions::createdb},
    {"insertdelayed", &ExportOptions::insertdelayed},
    {"disablekeys", &ExportOptions::disablekeys},
    {"flushlogs", &ExportOptions::flushlogs},
    {"flushmaster", &ExportOptions::flushmaster},
    {"locktableread", &ExportOptions::locktableread},
    {"singletransaction", &ExportOptions::singletransaction},
    {"flushslave", &ExportOptions::flushslave},
    {"autocommit", &ExportOptions::autocommit},
    {"locktablewrite", &ExportOptions::locktablewrite},
    {"structureonly", &ExportOptions::structureonly},
    {"completeinsert", &ExportOptions::completeinsert},
    {"usedb", &ExportOptions::usedb},
    {"fkchecks", &ExportOptions::fkchecks},
    {"appendtofile", &ExportOptions::appendtofile},
    {"createview", &ExportOptions::createview},
    {"createprocedure", &ExportOptions::createprocedure},
    {"createfunction", &ExportOptions::createfunction},
    {"createtrigger", &ExportOptions::createtrigger},
    {"dropobjects", &ExportOptions::dropobjects},
    {"binlogposition", &ExportOptions::binlogposition},
};

long read_number(const XMLElement* options, const char* name) {
    const std::string t = text_of(options->FirstChildElement(name));
    return !t.empty() ? std::strtol(t.c_str(), nullptr, 10) : 1000;
}

void read_options(const XMLElement* options, ExportOptions& o, int values_are_utf8, std::string& error) {
    for (const YesNoKey& key : kYesNoKeys) {
        const XMLElement* e = options->FirstChildElement(key.name);
        if (e) o.*key.field = strcasecmp(text_of(e).c_str(), "yes") == 0 ? 1 : 0;
    }
    o.bulksize = read_number(options, "bulksize");
    o.chunklimit = read_number(options, "chunklimit");
    const std::string charset_text = text_of(options->FirstChildElement("usecharset"));
    const char* charset = charset_text.c_str();
    if (!*charset || strcasecmp(charset, "yes") == 0)
        o.usecharset.assign("utf8", 1);
    else if (strcasecmp(charset, "no") == 0)
        o.usecharset.clear();
    else
        o.usecharset.assign(charset, values_are_utf8);
    // A count that is not one would remove dumps nobody meant to lose: refused.
    const std::string keep = text_of(options->FirstChildElement("keep"));
    if (!keep.empty()) {
        char* end = nullptr;
        const long count = std::strtol(keep.c_str(), &end, 10);
        if (keep.find_first_not_of("0123456789") == std::string::npos && *end == '\0' && count >= 1 && keep.size() <= 6)
            o.keep = count;
        else if (error.empty())
            error = "Invalid value \"" + keep + "\" in <keep>: write how many complete dumps to keep, 1 or more";
    }
    // A misspelt kind is refused: read as none, it would fill the disk the user meant to spare.
    const std::string compression = text_of(options->FirstChildElement("compression"));
    if (!read_compression(compression, o.compression) && error.empty())
        error = "Invalid value \"" + compression +
                "\" in <compression>: write no, gzip or zstd, with a level if wanted (gzip:9, zstd:19)";
}

}  // namespace

int read_export_job(tinyxml2::XMLDocument& doc, ExportJob& job, int values_are_utf8,
                    int& error_code, StrBuf& error_text) {
    const XMLElement* root = doc.FirstChildElement();
    const XMLElement* exportjob = root && strcasecmp(root->Name(), "job") == 0 ? root->FirstChildElement() : nullptr;
    if (!exportjob || strcasecmp(exportjob->Name(), "exportjob") != 0) {
        error_code = 1;
        error_text.assign("Invalid job file.", 1);
        return 0;
    }
    const XMLElement* source = exportjob->FirstChildElement("source");
    if (!source) {
        error_code = 2;
        error_text.assign("Source server details not provided.", 1);
        return 0;
    }
    read_connection_info(source, job.source, job.http, values_are_utf8);

    bool form_b_all_tables = false;
    if (const XMLElement* e = exportjob->FirstChildElement("export")) {
        job.to_file = 1;
        if (const XMLElement* databases = e->FirstChildElement("databases")) {
            read_databases(databases, job, values_are_utf8);
        } else if (const XMLElement* tables = e->FirstChildElement("tables")) {
            read_tables(tables, job, values_are_utf8);
            form_b_all_tables = job.all_of_kind[kTables] == 1;
        }
        if (const XMLElement* script = e->FirstChildElement("script")) read_script(script, job, values_are_utf8);
    }
    if (const XMLElement* options = exportjob->FirstChildElement("options"))
        read_options(options, job.options, values_are_utf8, job.setting_error);
    if (form_b_all_tables) {
        ExportOptions& o = job.options;
        job.all_of_kind[kViews] = o.createview;
        job.all_of_kind[kProcedures] = o.createprocedure;
        job.all_of_kind[kPackages] = o.createprocedure;  // a package is a set of procedures
        job.all_of_kind[kFunctions] = o.createfunction;
        job.all_of_kind[kTriggers] = o.createtrigger;
    }
    if (const XMLElement* e = exportjob->FirstChildElement("abortonerror"))
        job.abortonerror = strcasecmp(text_of(e).c_str(), "yes") == 0 ? 1 : 0;
    read_report_request(exportjob->FirstChildElement("sendreport"), job.report, values_are_utf8);
    return 1;
}

bool read_compression(const std::string& text, platform::Compression& compression) {
    using platform::CompressionKind;
    compression = {};
    if (text.empty() || strcasecmp(text.c_str(), "no") == 0) return true;
    const std::size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (strcasecmp(kind.c_str(), "gzip") == 0) compression.kind = CompressionKind::gzip;
    else if (strcasecmp(kind.c_str(), "zstd") == 0) compression.kind = CompressionKind::zstd;
    else return false;
    if (colon == std::string::npos) return true;
    const std::string level = text.substr(colon + 1);
    const int most = platform::max_compression_level(compression.kind);
    if (level.empty() || level.size() > 2 || level.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(level) < 1 || std::stoi(level) > most) {
        compression = {};
        return false;
    }
    compression.level = std::stoi(level);
    return true;
}

int validate_export_job(const ExportJob& job) {
    // Words that decide what is written come first: nothing runs on a guess.
    if (!job.setting_error.empty()) {
        report_failure(job.setting_error.c_str());
        return 0;
    }
    const ConnectionInfo& s = job.source;
    if (s.host.empty() || s.port == 0 || s.user.empty()) {
        report_failure(("Source SERVER information not complete" + incomplete_server_detail(s, false) + "\r\n").c_str());
        return 0;
    }
    if (job.path.empty()) {
        report_failure("Export file or directory name not specified.");
        return 0;
    }
    if (!check_report_request(job.report)) return 0;
    return check_tunnel_settings(s);
}

}  // namespace kro::export_

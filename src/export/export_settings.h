// ExportJob: the settings of an `exportjob` job file, read and checked before anything
// connects. Yes/no values are 1 or 0.
#pragma once

#include <string>
#include <vector>

#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "mail/mail_settings.h"
#include "platform/compressed_stream.h"

namespace tinyxml2 {
class XMLDocument;
}

namespace kro::export_ {

// The kinds of object, in the order the job file lists them; packages (MariaDB) come last.
enum ObjectKind { kTables, kViews, kProcedures, kFunctions, kTriggers, kEvents, kPackages, kObjectKinds };

struct ExportOptions {
    int bulkinsert = 0;
    int chunkinsert = 0;
    long bulksize = 0;    // KB per INSERT statement
    long chunklimit = 0;  // rows per page
    common::StrBuf usecharset;
    int createdb = 0;
    int insertdelayed = 0;
    int disablekeys = 0;
    int flushlogs = 0;
    int flushmaster = 0;
    int locktableread = 0;
    int singletransaction = 0;
    int flushslave = 0;
    int autocommit = 0;
    int locktablewrite = 0;
    int structureonly = 0;
    int completeinsert = 0;
    int usedb = 0;
    int fkchecks = 0;
    int appendtofile = 0;
    int createview = 0;
    int createprocedure = 0;
    int createfunction = 0;
    int createtrigger = 0;
    int dropobjects = 0;
    // The source's binary log position in the dump's header, when it writes a binary log.
    int binlogposition = 0;
    platform::Compression compression;  // of every dump file
    // Complete time-stamped dumps of each name kept in their folder; 0: all of them.
    long keep = 0;
};

// One <database> of form A with the objects it selects.
struct DatabaseSelection {
    std::string name;
    int all_objects = 0;
    int all_of_kind[kObjectKinds] = {};
    std::vector<std::string> lists[kObjectKinds];
};

struct ExportJob {
    connection::ConnectionInfo source;
    connection::HttpTunnelSettings http;
    ExportOptions options;

    int all_databases = 0;
    int include_mysql_db = 0;
    // With all_databases: the databases left out by name and by LIKE pattern.
    std::vector<std::string> excluded_names;
    std::vector<std::string> excluded_patterns;
    // What the database being dumped selects (form A: the first <database>'s, or form B's).
    int all_objects = 0;
    int all_of_kind[kObjectKinds] = {};
    std::vector<std::string> lists[kObjectKinds];
    // Form A's <database> children in document order, each with its own objects.
    std::vector<DatabaseSelection> databases;

    mail::ReportRequest report;
    int abortonerror = 0;

    int to_file = 0;  // 1: one file; 0: a directory
    int timestamp = 0;
    int timestampdir = 0;
    common::StrBuf path;

    // A setting kro will not guess at (an unknown compression), told before anything
    // connects; empty when there is none.
    std::string setting_error;

    ExportJob() { connection::reset_connection_info(source); }
};

// Fills job from the document. 0 with error_code 1 ("Invalid job file.") or 2 ("Source
// server details not provided.") and the text in error_text when it cannot.
int read_export_job(tinyxml2::XMLDocument& doc, ExportJob& job, int values_are_utf8,
                    int& error_code, common::StrBuf& error_text);

// 1 when the job can run; else the first failing check has been reported.
int validate_export_job(const ExportJob& job);

// Reads a <compression> text: empty or "no" (none), "gzip" or "zstd" (any case), either
// with ":<level>" (gzip 1 to 9, zstd 1 to 22). false for anything else.
bool read_compression(const std::string& text, platform::Compression& compression);

}  // namespace kro::export_

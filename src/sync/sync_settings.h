// The settings of a syncjob: both servers, the tables, the switches, the script and the
// report mail.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/str_buf.h"
#include "connection/connection_info.h"
#include "mail/mail_settings.h"
#include "sync/sync_context.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::sync {

struct SyncTableEntry {
    std::string name;                        // as the job file writes it
    bool has_column_list = false;
    std::optional<std::string> column_list;  // "`a`,`b`"; absent when all columns are wanted
    std::optional<std::string> filter;
};

struct SyncSettings {
    connection::ConnectionInfo source;
    connection::HttpTunnelSettings source_http;
    connection::ConnectionInfo target;
    connection::HttpTunnelSettings target_http;
    std::vector<SyncTableEntry> tables;
    bool all_tables = false;
    bool fkcheck = false;
    bool twowaysync = false;
    bool delete_from_target = true;
    bool abortonerror = false;
    // A table with triggers on the target fails before anything is written to it.
    bool refuse_triggers = false;
    mail::ReportRequest report;
    std::string script_path;
    SyncMode mode = SyncMode::direct;
    // The first switch or sync_action word that is neither of its allowed values; the job
    // is refused with it before anything connects.
    std::string setting_error;
};

// Reads the children of the `syncjob` element (null: nothing).
void read_sync_settings(const tinyxml2::XMLElement* job, SyncSettings& settings, int values_are_utf8);

// 1 when the settings are complete. Otherwise 0 and error holds the first gap; a missing
// tunnel setting is reported at once and leaves error empty.
int validate_sync_settings(const SyncSettings& settings, common::StrBuf& error);

}  // namespace kro::sync

#include "sync/sync_settings.h"

#include <strings.h>

#include <tinyxml2.h>

#include "common/job_xml.h"
#include "connection/sql_quote.h"

using namespace kro::common;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::sync {

namespace {

using tinyxml2::XMLAttribute;
using tinyxml2::XMLElement;

bool attribute_is_nocase(const XMLElement* e, const char* name, const char* value) {
    const char* a = e->Attribute(name);
    return a && strcasecmp(a, value) == 0;
}

// An unknown word is refused rather than read as a direct sync: a misspelt "script"
// would otherwise write to the target.
SyncMode mode_of(const XMLElement* e, std::string& error) {
    const XMLAttribute* first = e->FirstAttribute();
    const std::string word = trimmed(first_attribute_value(e));
    if (strcasecmp(word.c_str(), "directsync") == 0) return SyncMode::direct;
    if (strcasecmp(word.c_str(), "script") == 0) return SyncMode::script_only;
    if (strcasecmp(word.c_str(), "all") == 0) return SyncMode::direct_and_script;
    if (error.empty())
        error = "Invalid value " + std::string(first ? first->Name() : "type") + "=\"" + word +
                "\" in <sync_action>: write directsync, script or all\r\n";
    return SyncMode::direct;
}

SyncTableEntry read_table(const XMLElement* table, int values_are_utf8, std::string& error) {
    SyncTableEntry entry;
    StrBuf text;
    read_setting(table->FirstChildElement(), text, values_are_utf8);
    entry.name = text.str();
    const XMLElement* columns = table->FirstChildElement("columns");
    if (!columns) return entry;
    // No `all` attribute means a list; a value other than yes or no is refused, as it is
    // for every switch.
    const char* all = columns->Attribute("all");
    if (all && strcasecmp(trimmed(all).c_str(), "yes") != 0 && strcasecmp(trimmed(all).c_str(), "no") != 0 &&
        error.empty())
        error = "Invalid value all=\"" + trimmed(all) + "\" in <columns>: write yes or no\r\n";
    if (!attribute_is_nocase(columns, "all", "yes")) {
        entry.has_column_list = true;
        std::string list;
        for (const XMLElement* c = columns->FirstChildElement(); c; c = c->NextSiblingElement()) {
            read_setting(c, text, values_are_utf8);
            list += list.empty() ? "`" : ",`";
            list += escape_identifier(text.view()).str();
            list += "`";
        }
        entry.column_list = list;
    }
    if (const XMLElement* where = table->FirstChildElement("sqlwhere")) {
        read_element_text(where, text, values_are_utf8);
        entry.filter = text.str();
    }
    return entry;
}

void read_tables(const XMLElement* tables, SyncSettings& settings, int values_are_utf8) {
    if (attribute_is_nocase(tables, "all", "yes")) {
        settings.all_tables = true;
        return;
    }
    if (!attribute_is_nocase(tables, "all", "no")) return;
    for (const XMLElement* t = tables->FirstChildElement(); t; t = t->NextSiblingElement())
        settings.tables.push_back(read_table(t, values_are_utf8, settings.setting_error));
}

bool server_incomplete(const ConnectionInfo& c) {
    return c.database.empty() || c.host.empty() || c.user.empty() || c.port == 0;
}

}  // namespace

void read_sync_settings(const XMLElement* job, SyncSettings& s, int values_are_utf8) {
    if (!job) return;
    for (const XMLElement* e = job->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char* name = e->Name();
        if (strcmp(name, "fkcheck") == 0) {
            s.fkcheck = read_switch(e, s.setting_error);
        } else if (strcmp(name, "twowaysync") == 0) {
            s.twowaysync = read_switch(e, s.setting_error);
        } else if (strcmp(name, "dontdelfromtarget") == 0) {
            s.delete_from_target = !read_switch(e, s.setting_error);
        } else if (strcmp(name, "source") == 0) {
            read_connection_info(e, s.source, s.source_http, values_are_utf8);
        } else if (strcmp(name, "target") == 0) {
            read_connection_info(e, s.target, s.target_http, values_are_utf8);
        } else if (strcmp(name, "tables") == 0) {
            read_tables(e, s, values_are_utf8);
        } else if (strcmp(name, "sync_action") == 0) {
            s.mode = mode_of(e, s.setting_error);
            StrBuf path;
            read_setting(e->FirstChildElement("file"), path, values_are_utf8);
            s.script_path = path.str();
        } else if (strcmp(name, "abortonerror") == 0) {
            s.abortonerror = read_switch(e, s.setting_error);
        } else if (strcmp(name, "refusetriggers") == 0) {
            s.refuse_triggers = read_switch(e, s.setting_error);
        } else if (strcmp(name, "sendreport") == 0) {
            read_report_request(e, s.report, values_are_utf8);
        }
    }
}

int validate_sync_settings(const SyncSettings& s, StrBuf& error) {
    error.clear();
    // Words that decide what is written come first: nothing runs on a guess.
    for (const std::string* wrong : {&s.setting_error, &s.report.setting_error, &s.report.mail.setting_error}) {
        if (wrong->empty() || (wrong == &s.report.mail.setting_error && !s.report.send_report)) continue;
        error.assign(wrong->c_str(), 1);
        return 0;
    }
    if (server_incomplete(s.source)) {
        error.assign("SOURCE server information not complete\r\n", 1);
        return 0;
    }
    if (server_incomplete(s.target)) {
        error.assign("TARGET server information not complete\r\n", 1);
        return 0;
    }
    if (!s.all_tables) {
        if (s.tables.empty()) {
            error.assign("You have to specify atleast one table.\r\n", 1);
            return 0;
        }
        for (const SyncTableEntry& t : s.tables) {
            if (trimmed(t.name).empty()) {
                error.assign("Table name was not specified\r\n", 1);
                return 0;
            }
            if (t.has_column_list && t.column_list->empty()) {
                error.format("Please specify atleast one column for '%s' table\r\n", t.name.c_str());
                return 0;
            }
        }
    }
    // A tunnel without its URL or SSH server cannot be reached, on either side.
    return check_tunnel_settings(s.source) && check_tunnel_settings(s.target);
}

}  // namespace kro::sync

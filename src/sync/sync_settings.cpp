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

using tinyxml2::XMLElement;

bool attribute_is_nocase(const XMLElement* e, const char* name, const char* value) {
    const char* a = e->Attribute(name);
    return a && strcasecmp(a, value) == 0;
}

SyncMode mode_of(const char* word) {
    if (strcasecmp(word, "directsync") == 0) return SyncMode::direct;
    if (strcasecmp(word, "script") == 0) return SyncMode::script_only;
    if (strcasecmp(word, "all") == 0) return SyncMode::direct_and_script;
    return SyncMode::direct;
}

SyncTableEntry read_table(const XMLElement* table, int values_are_utf8) {
    SyncTableEntry entry;
    StrBuf text;
    read_setting(table->FirstChildElement(), text, values_are_utf8);
    entry.name = text.str();
    const XMLElement* columns = table->FirstChildElement("columns");
    if (!columns) return entry;
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
        settings.tables.push_back(read_table(t, values_are_utf8));
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
            s.fkcheck = first_attribute_is_yes(e);
        } else if (strcmp(name, "twowaysync") == 0) {
            s.twowaysync = first_attribute_is_yes(e);
        } else if (strcmp(name, "dontdelfromtarget") == 0) {
            s.delete_from_target = !first_attribute_is_yes(e);
        } else if (strcmp(name, "source") == 0) {
            read_connection_info(e, s.source, s.source_http, values_are_utf8);
        } else if (strcmp(name, "target") == 0) {
            read_connection_info(e, s.target, s.target_http, values_are_utf8);
        } else if (strcmp(name, "tables") == 0) {
            read_tables(e, s, values_are_utf8);
        } else if (strcmp(name, "sync_action") == 0) {
            s.mode = mode_of(trimmed(first_attribute_value(e)).c_str());
            StrBuf path;
            read_setting(e->FirstChildElement("file"), path, values_are_utf8);
            s.script_path = path.str();
        } else if (strcmp(name, "abortonerror") == 0) {
            s.abortonerror = first_attribute_is_yes(e);
        } else if (strcmp(name, "sendreport") == 0) {
            read_report_request(e, s.report, values_are_utf8);
        }
    }
}

int validate_sync_settings(const SyncSettings& s, StrBuf& error) {
    error.clear();
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

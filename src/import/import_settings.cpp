#include "import/import_settings.h"

#include <cstdlib>
#include <strings.h>
#include <tinyxml2.h>

#include "common/job_xml.h"
#include "import/type_mapping.h"
#include "report/reporting.h"

using namespace kro::common;
using namespace kro::report;
using namespace kro::connection;
using namespace kro::mail;

namespace kro::import {

using tinyxml2::XMLAttribute;
using tinyxml2::XMLElement;

namespace {

// A setting's text, trimmed; statements are kept as written.
std::string setting(const XMLElement* element, int utf8) {
    StrBuf text;
    read_setting(element, text, utf8);
    return text.str();
}

std::string statement_text(const XMLElement* element, int utf8) {
    StrBuf text;
    read_element_text(element, text, utf8);
    return text.str();
}

std::string attribute(const XMLElement* element, const char* name, int utf8) {
    const char* value = element->Attribute(name);
    if (!value) return "";
    return utf8 ? trimmed(value) : trimmed(StrBuf(value, 0).view());
}

bool is_yes(const std::string& text) { return strcasecmp(text.c_str(), "yes") == 0; }

bool type_in(const std::string& type, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (strcasecmp(type.c_str(), name) == 0) return true;
    return false;
}

int read_column(const XMLElement* element, ImportTable& table, int utf8, std::string& error) {
    ImportColumn column;
    const XMLElement* source = element->FirstChildElement("source");
    column.source_name = setting(source, utf8);
    if (!source || column.source_name.empty()) {
        error = "<source> tag error!\n";
        return 0;
    }
    column.target_name = setting(element->FirstChildElement("target"), utf8);
    if (column.target_name.empty())
        column.target_name = column.source_name == "<ignore>" ? "null" : column.source_name;
    column.type = setting(element->FirstChildElement("type"), utf8);
    if (column.type.empty()) column.type = "longblob";
    column.length = setting(element->FirstChildElement("length"), utf8);
    column.scale = scale_of_length(column.length);
    const std::string default_text = setting(element->FirstChildElement("default"), utf8);
    column.comment = setting(element->FirstChildElement("comment"), utf8);
    auto flag = [&](const char* name) { return is_yes(setting(element->FirstChildElement(name), utf8)); };
    column.primary = flag("primary");
    column.binary = flag("binary");
    column.not_null = flag("notnull");
    column.is_unsigned = flag("unsigned");
    column.auto_increment = flag("autoincr");
    column.zero_fill = flag("zerofill");
    apply_column_type_flags(column, table);
    set_column_default(column, default_text, false);
    table.columns.push_back(std::move(column));
    return 1;
}

int read_row_action(const XMLElement* triggers, SourceRowAction& action, int utf8) {
    if (const XMLElement* updates = triggers->FirstChildElement("updates")) {
        for (const XMLElement* u = updates->FirstChildElement("update"); u; u = u->NextSiblingElement("update")) {
            if (!u->Attribute("srccol") || !u->Attribute("value")) return 0;
            action.updates.emplace_back(attribute(u, "srccol", utf8), attribute(u, "value", utf8));
        }
        return 1;
    }
    const XMLElement* del = triggers->FirstChildElement("delete");
    if (!del) return 0;
    action.delete_row = is_yes(setting(del, utf8));
    return 1;
}

int read_table(const XMLElement* element, ImportSettings& s, int utf8, std::string& error) {
    if (!element->Attribute("source")) return 0;
    ImportTable table;
    table.source_name = attribute(element, "source", utf8);
    table.schema = attribute(element, "tablespace", utf8);
    table.target_name = attribute(element, "target", utf8);
    if (table.target_name.empty()) table.target_name = table.source_name;
    table.comment = attribute(element, "comment", utf8);
    table.engine = attribute(element, "type", utf8);
    if (element->Attribute("index")) table.create_indexes = is_yes(attribute(element, "index", utf8));
    if (element->Attribute("foreignkey"))
        table.create_foreign_keys = is_yes(attribute(element, "foreignkey", utf8));
    if (const XMLElement* ddl = element->FirstChildElement("ddl")) {
        if (!ddl->Attribute("onconflict")) return 0;
        table.table_conflict = attribute(ddl, "onconflict", utf8);
    }
    if (const XMLElement* dml = element->FirstChildElement("dml")) {
        if (!dml->Attribute("onconflict")) return 0;
        table.row_conflict = attribute(dml, "onconflict", utf8);
        // Without the attribute the rows are imported: that is what the entry is for.
        if (dml->Attribute("import")) table.import_data = is_yes(attribute(dml, "import", utf8));
    }
    if (const XMLElement* triggers = element->FirstChildElement("triggers"))
        if (!read_row_action(triggers, table.row_action, utf8)) return 0;
    if (const XMLElement* where = element->FirstChildElement("whereclause"))
        table.where_clause = statement_text(where, utf8);
    if (const XMLElement* columns = element->FirstChildElement("columns")) {
        table.source_defined_columns = false;
        for (const XMLElement* c = columns->FirstChildElement("column"); c; c = c->NextSiblingElement("column"))
            if (!read_column(c, table, utf8, error)) return 0;
    } else if (const XMLElement* query = element->FirstChildElement("query")) {
        table.create_statement = statement_text(query, utf8);
    }
    s.tables.push_back(std::move(table));
    return 1;
}

}  // namespace

void apply_column_type_flags(ImportColumn& column, ImportTable& table) {
    if (type_in(column.type, {"varchar", "varbinary", "binary", "text", "mediumtext", "longtext", "blob",
                              "longblob", "mediumblob"}))
        table.has_long_columns = true;
    if (type_in(column.type, {"decimal", "smallint", "mediumint", "numeric", "real", "float", "double", "bit",
                              "tinyint", "bigint", "integer", "int"}))
        column.numeric = true;
}

int scale_of_length(const std::string& length) {
    std::size_t comma = length.find(',');
    return comma == std::string::npos ? 0 : std::atoi(length.c_str() + comma + 1);
}

bool ImportSettings::is_query_import() const { return strcasecmp(import_kind.c_str(), "query") == 0; }

void read_import_frame(const XMLElement* job, ImportSettings& s, int utf8) {
    if (!job) return;
    if (const XMLElement* source = job->FirstChildElement("source"))
        read_connection_info(source, s.target, s.http, utf8);
    if (const XMLElement* e = job->FirstChildElement("onerror")) s.abort_on_error = read_switch(e, s.setting_error);
    if (const XMLElement* e = job->FirstChildElement("abortonerror"))
        if (is_yes(setting(e, utf8))) s.abort_on_error = 1;
    read_report_request(job->FirstChildElement("sendreport"), s.report, utf8);
}

int validate_import_frame(const ImportSettings& s) {
    const ConnectionInfo& c = s.target;
    if (c.database.empty() || c.host.empty() || c.user.empty() || c.port == 0) {
        report_failure(("Source SERVER information not complete" + incomplete_server_detail(c, true) + "\r\n").c_str());
        return 0;
    }
    if (!s.setting_error.empty()) {
        report_failure(s.setting_error.c_str());
        return 0;
    }
    if (!check_report_request(s.report)) return 0;
    return check_tunnel_settings(c);
}

int read_import_body(const XMLElement* job, ImportSettings& s, int utf8, std::string& error) {
    error.clear();
    if (!job) return 0;
    if (const XMLElement* e = job->FirstChildElement("abortonerror"))
        if (!e->GetText()) return 0;
    const XMLElement* dsn = job->FirstChildElement("dsn");
    if (!dsn) {
        error = "ERROR: The job file has no <dsn> element: the ODBC source is missing.\r\n";
        return 0;
    }
    if (const XMLAttribute* a = dsn->FirstAttribute()) s.source_kind = trimmed(a->Value());
    const XMLElement* name = dsn->FirstChildElement("name");
    s.source_name = setting(name, utf8);
    if (!name || s.source_name.empty()) {
        error = "ERROR: The <dsn> element has no <name>.\r\n";
        return 0;
    }
    s.source_user = setting(dsn->FirstChildElement("user"), utf8);
    s.source_password = statement_text(dsn->FirstChildElement("pwd"), utf8);

    if (const XMLElement* import = job->FirstChildElement("import")) {
        if (const XMLAttribute* a = import->FirstAttribute()) s.import_kind = trimmed(a->Value());
        if (strcasecmp(s.import_kind.c_str(), "data") != 0) {
            const XMLElement* query = import->FirstChildElement("query");
            const XMLElement* table = import->FirstChildElement("table");
            if (!query || !table) return 0;
            s.import_query = statement_text(query, utf8);
            s.query_table = setting(table, utf8);
        }
    }
    if (const XMLElement* exp = job->FirstChildElement("export")) {
        if (const XMLAttribute* a = exp->FirstAttribute()) s.export_mode = trimmed(a->Value());
        if (strcasecmp(s.export_mode.c_str(), "data") != 0) {
            const XMLElement* file = exp->FirstChildElement("file");
            if (!file) return 0;
            s.export_file = setting(file, utf8);
        }
    }
    const XMLElement* tables = job->FirstChildElement("tables");
    if (!tables) {
        if (s.is_query_import()) return 1;
        error = "ERROR: The job file has no <tables> element: the tables to import are missing.\r\n";
        return 0;
    }
    if (!tables->FirstAttribute()) {
        error = "ERROR: The <tables> element has no attribute: all=\"yes\" or all=\"no\".\r\n";
        return 0;
    }
    if (first_attribute_is_yes(tables)) {
        s.all_tables = true;
        return 1;
    }
    if (const XMLElement* first = tables->FirstChildElement("table"))
        for (const XMLElement* t = first; t; t = t->NextSiblingElement())
            if (!read_table(t, s, utf8, error)) return 0;
    return 1;
}

}  // namespace kro::import

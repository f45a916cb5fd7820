#include "check/selection_check.h"

#include <algorithm>
#include <memory>
#include <string>
#include <strings.h>

namespace kro::check {

namespace {

struct XmlTextFree { void operator()(xmlChar* t) const { xmlFree(t); } };

bool named(const xmlNode* node, const char* name) {
    return node && node->type == XML_ELEMENT_NODE && strcasecmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

const xmlNode* child(const xmlNode* node, const char* name) {
    for (const xmlNode* c = node ? node->children : nullptr; c; c = c->next)
        if (named(c, name)) return c;
    return nullptr;
}

std::string trimmed_text(xmlChar* raw) {
    std::unique_ptr<xmlChar, XmlTextFree> owned(raw);
    std::string text = owned ? reinterpret_cast<const char*>(owned.get()) : "";
    const char* blanks = " \t\r\n";
    text.erase(0, text.find_first_not_of(blanks));
    text.erase(text.find_last_not_of(blanks) + 1);
    return text;
}

std::string attribute(const xmlNode* node, const char* name) {
    return trimmed_text(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
}

std::string first_attribute(const xmlNode* node) {
    const xmlAttr* first = node->properties;
    return first ? trimmed_text(xmlNodeListGetString(node->doc, first->children, 1)) : "";
}

bool is_yes(const std::string& value) { return strcasecmp(value.c_str(), "yes") == 0; }

// An item child with text (an export's <table>, <view>, ...).
bool has_named_item(const xmlNode* group, const char* item) {
    for (const xmlNode* c = group->children; c; c = c->next)
        if (named(c, item) && !trimmed_text(xmlNodeGetContent(c)).empty()) return true;
    return false;
}

void add(std::vector<Finding>& findings, const xmlNode* node, std::string text) {
    findings.push_back({static_cast<int>(xmlGetLineNo(node)), true, std::move(text)});
}

// The objects of one listed database: all of them, or at least one kind or name.
bool selects_objects(const xmlNode* objects) {
    static const char* const kGroups[][2] = {{"tables", "table"},         {"views", "view"},
                                             {"procedures", "procedure"}, {"functions", "function"},
                                             {"triggers", "trigger"},     {"events", "event"},
                                             {"packages", "package"}};
    if (is_yes(attribute(objects, "all"))) return true;
    for (const auto& group : kGroups)
        for (const xmlNode* g = objects->children; g; g = g->next)
            if (named(g, group[0]) && (is_yes(attribute(g, "all")) || has_named_item(g, group[1]))) return true;
    return false;
}

void check_export(std::vector<Finding>& findings, const xmlNode* job) {
    const xmlNode* export_ = child(job, "export");
    if (!export_) {
        add(findings, job, "<exportjob> has no <export>: it selects nothing to export");
        return;
    }
    if (const xmlNode* databases = child(export_, "databases")) {
        if (is_yes(attribute(databases, "all"))) return;
        bool any = false;
        for (const xmlNode* d = databases->children; d; d = d->next) {
            if (!named(d, "database")) continue;
            any = true;
            const std::string name = attribute(d, "name");
            const xmlNode* objects = child(d, "objects");
            if (name.empty())
                add(findings, d, "<database> has no name: it selects nothing to export");
            else if (!objects || !selects_objects(objects))
                add(findings, objects ? objects : d,
                    "<database name=\"" + name + "\"> selects no object to export: write <objects all=\"yes\"/> "
                    "or name the tables, views and routines");
        }
        if (!any)
            add(findings, databases,
                "<databases> lists no <database>: it selects nothing to export; write <databases all=\"yes\"/> or "
                "list each database");
        return;
    }
    const xmlNode* tables = child(export_, "tables");
    if (!tables) {
        add(findings, export_, "<export> has neither <databases> nor <tables>: it selects nothing to export");
        return;
    }
    if (strcasecmp(attribute(tables, "all").c_str(), "no") == 0 && !has_named_item(tables, "table"))
        add(findings, tables, "<tables all=\"no\"> lists no <table>: it selects nothing to export");
}

void check_sync(std::vector<Finding>& findings, const xmlNode* job) {
    const xmlNode* tables = child(job, "tables");
    if (!tables || strcasecmp(attribute(tables, "all").c_str(), "no") != 0) return;
    for (const xmlNode* t = tables->children; t; t = t->next)
        if (t->type == XML_ELEMENT_NODE) return;
    add(findings, tables, "<tables all=\"no\"> lists no <table>: it selects nothing to sync");
}

void check_import(std::vector<Finding>& findings, const xmlNode* job) {
    const xmlNode* import = child(job, "import");
    const bool query_import = import && import->properties && strcasecmp(first_attribute(import).c_str(), "data") != 0;
    const xmlNode* tables = child(job, "tables");
    if (query_import || !tables || !tables->properties || is_yes(first_attribute(tables))) return;
    if (!child(tables, "table")) add(findings, tables, "<tables> lists no <table>: it selects nothing to import");
}

}  // namespace

void check_selection(std::vector<Finding>& findings, const xmlNode* job) {
    if (named(job, "exportjob")) check_export(findings, job);
    if (named(job, "syncjob")) check_sync(findings, job);
    if (named(job, "odbcimport")) check_import(findings, job);
}

}  // namespace kro::check

#include "check/job_check.h"
#include "check/selection_check.h"
#include "check/unknown_names.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include "platform/text_convert.h"

extern const char kJobSchema[];  // share/kro/kro-job.xsd, built in

namespace kro::check {

namespace {

// Elements whose SQL text trips the XML parser when it holds "<" or "&".
const char* const kStatementElements[] = {"query", "sqlwhere", "whereclause"};

struct DocFree { void operator()(xmlDoc* d) const { xmlFreeDoc(d); } };
struct SchemaParserFree { void operator()(xmlSchemaParserCtxt* c) const { xmlSchemaFreeParserCtxt(c); } };
struct SchemaFree { void operator()(xmlSchema* s) const { xmlSchemaFree(s); } };
struct ValidFree { void operator()(xmlSchemaValidCtxt* c) const { xmlSchemaFreeValidCtxt(c); } };
struct XmlTextFree { void operator()(xmlChar* t) const { xmlFree(t); } };
using XmlText = std::unique_ptr<xmlChar, XmlTextFree>;

struct Collector {
    std::vector<Finding> findings;
    const std::string* text = nullptr;
    bool parsing = true;  // well-formedness errors (not schema ones)
};

std::string trimmed(std::string text) {
    const char* blanks = " \t\r\n";
    text.erase(0, text.find_first_not_of(blanks));
    text.erase(text.find_last_not_of(blanks) + 1);
    return text;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

const char* name_of(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

// The byte offset of a line and column (both from 1) in text; text's size when beyond.
std::size_t offset_of(const std::string& text, int line, int column) {
    std::size_t at = 0;
    for (int l = 1; l < line; ++l) {
        at = text.find('\n', at);
        if (at == std::string::npos) return text.size();
        ++at;
    }
    return std::min(text.size(), at + static_cast<std::size_t>(std::max(column - 1, 0)));
}

// Where what last occurs in text, counted from 1; 0 when it does not.
std::size_t last_place(const std::string& text, const std::string& what) {
    const std::size_t at = text.rfind(what);
    return at == std::string::npos ? 0 : at + 1;
}

// The statement element whose text holds offset (its start tag lies before it, its end
// tag does not), or null.
const char* statement_around(const std::string& text, std::size_t offset) {
    const std::string before = lower(text.substr(0, offset));
    for (const char* name : kStatementElements) {
        const std::string tag = std::string("<") + name;
        const std::size_t opened = std::max(last_place(before, tag + ">"), last_place(before, tag + " "));
        if (opened > last_place(before, std::string("</") + name)) return name;
    }
    return nullptr;
}

void collect(void* user, const xmlError* error) {
    if (!error || !error->message) return;
    Collector& c = *static_cast<Collector*>(user);
    Finding finding;
    finding.line = error->line;
    finding.error = error->level != XML_ERR_WARNING;
    const std::string message = trimmed(error->message);
    finding.text = message;
    if (c.parsing) {
        finding.text = "not well-formed XML: " + message;
        const char* element = statement_around(*c.text, offset_of(*c.text, error->line, error->int2));
        // "x<y ..." in a statement can also read as an element <y> that the statement's
        // end tag then fails to close.
        for (const char* name : kStatementElements)
            if (!element && message.rfind("Opening and ending tag mismatch", 0) == 0 &&
                message.size() > std::strlen(name) + 4 &&
                message.compare(message.size() - std::strlen(name) - 4, std::string::npos, std::string("and ") + name) == 0)
                element = name;
        if (element)
            finding.text += std::string("; SQL in <") + element +
                            "> that holds \"<\" or \"&\" must be written inside <![CDATA[ ... ]]>";
    } else {
        finding.text = explained(finding.text, static_cast<const xmlNode*>(error->node));
    }
    // The parser may repeat itself after the first fatal error; one report per line is enough.
    for (const Finding& f : c.findings)
        if (f.line == finding.line && c.parsing) return;
    c.findings.push_back(finding);
}

#if LIBXML_VERSION >= 21200
void collect_error(void* user, const xmlError* error) { collect(user, error); }
#else
void collect_error(void* user, xmlError* error) { collect(user, error); }
#endif

void add(std::vector<Finding>& findings, const xmlNode* node, bool error, std::string text) {
    findings.push_back({static_cast<int>(xmlGetLineNo(node)), error, std::move(text)});
}

bool is_yes_or_no(const std::string& value) {
    const std::string v = lower(trimmed(value));
    return v == "yes" || v == "no";
}

std::string text_of(const xmlNode* node) {
    XmlText content(xmlNodeGetContent(node));
    return content ? trimmed(reinterpret_cast<const char*>(content.get())) : "";
}

bool has_element_child(const xmlNode* node) {
    for (const xmlNode* c = node->children; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE) return true;
    return false;
}

// A switch read from its first attribute, whatever that attribute's name: kro refuses
// the job file when that value is neither yes nor no.
void check_first_attribute_switch(std::vector<Finding>& findings, const xmlNode* node) {
    const std::string name = name_of(node);
    const xmlAttr* first = node->properties;
    if (!first) {
        const std::string text = has_element_child(node) ? "" : text_of(node);
        add(findings, node, true,
            "<" + name + (text.empty() ? "> has no value" : "> is read from its first attribute, not from its text") +
                ": kro refuses the job file; write <" + name + " value=\"" + (text.empty() ? "yes" : text) + "\"/>");
        return;
    }
    XmlText value(xmlNodeListGetString(node->doc, first->children, 1));
    const std::string first_value = value ? reinterpret_cast<const char*>(value.get()) : "";
    if (is_yes_or_no(first_value)) return;
    std::string text = "<" + name + "> is switched by its first attribute, " + name_of(reinterpret_cast<const xmlNode*>(first)) +
                       "=\"" + first_value + "\", which is neither yes nor no: kro refuses the job file";
    for (const xmlAttr* a = first->next; a; a = a->next) {
        XmlText v(xmlNodeListGetString(node->doc, a->children, 1));
        const std::string later = v ? reinterpret_cast<const char*>(v.get()) : "";
        if (is_yes_or_no(later)) {
            text += "; put " + std::string(reinterpret_cast<const char*>(a->name)) + "=\"" + later + "\" first";
            break;
        }
    }
    add(findings, node, true, text);
}

// A switch read from its text: an attribute in its place is refused.
void check_text_switch(std::vector<Finding>& findings, const xmlNode* node) {
    if (!node->properties || !text_of(node).empty()) return;
    XmlText value(xmlNodeListGetString(node->doc, node->properties->children, 1));
    const std::string name = name_of(node);
    const std::string v = value ? reinterpret_cast<const char*>(value.get()) : "";
    add(findings, node, true,
        "<" + name + "> is read from its text here, not from an attribute: kro refuses the job file; write <" + name +
            ">" + (v.empty() ? "yes" : v) + "</" + name + ">");
}

bool named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && strcasecmp(name_of(node), name) == 0;
}

// Words kro refuses when they are not one of their own: the sync's action and a table's
// `columns all`.
void check_sync_words(std::vector<Finding>& findings, const xmlNode* job) {
    for (const xmlNode* c = job->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        if (strcasecmp(name_of(c), "sync_action") == 0) {
            const xmlAttr* first = c->properties;
            XmlText value(first ? xmlNodeListGetString(c->doc, first->children, 1) : nullptr);
            const std::string word = lower(trimmed(value ? reinterpret_cast<const char*>(value.get()) : ""));
            if (word != "directsync" && word != "script" && word != "all")
                add(findings, c, true,
                    "<sync_action> " + (first ? std::string(reinterpret_cast<const char*>(first->name)) + "=\"" +
                                                    trimmed(value ? reinterpret_cast<const char*>(value.get()) : "") + "\""
                                              : std::string("without a type")) +
                        " is not directsync, script or all: kro refuses the job file");
        }
        if (strcasecmp(name_of(c), "tables") != 0) continue;
        for (const xmlNode* t = c->children; t; t = t->next)
            for (const xmlNode* columns = t->children; columns; columns = columns->next) {
                if (!named(columns, "columns")) continue;
                XmlText all(xmlGetProp(columns, reinterpret_cast<const xmlChar*>("all")));
                if (all && !is_yes_or_no(reinterpret_cast<const char*>(all.get())))
                    add(findings, columns, true,
                        "<columns> all=\"" + std::string(reinterpret_cast<const char*>(all.get())) +
                            "\" is neither yes nor no: kro refuses the job file");
            }
    }
}

void check_switches(std::vector<Finding>& findings, const xmlNode* job) {
    const std::string kind = lower(name_of(job));
    std::vector<std::string> by_attribute = {"sendreport"};
    std::vector<std::string> by_text;
    if (kind == "notifyjob") by_attribute.insert(by_attribute.end(), {"abortonerror", "result", "includequery", "includemsg"});
    if (kind == "syncjob") {
        by_attribute.insert(by_attribute.end(),
                            {"abortonerror", "fkcheck", "twowaysync", "dontdelfromtarget", "refusetriggers"});
        check_sync_words(findings, job);
    }
    if (kind == "odbcimport") by_attribute.push_back("onerror");
    if (kind == "exportjob" || kind == "odbcimport") by_text.push_back("abortonerror");
    for (const xmlNode* c = job->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        const std::string name = lower(name_of(c));
        if (std::find(by_attribute.begin(), by_attribute.end(), name) != by_attribute.end())
            check_first_attribute_switch(findings, c);
        if (std::find(by_text.begin(), by_text.end(), name) != by_text.end()) check_text_switch(findings, c);
        if (name == "sendreport" || name == "smtp") {
            for (const xmlNode* s = name == "smtp" ? c : c->children; s; s = s->next) {
                if (!named(s, "smtp")) continue;
                for (const xmlNode* a = s->children; a; a = a->next)
                    if (named(a, "auth")) check_first_attribute_switch(findings, a);
                if (name == "smtp") break;
            }
        }
    }
}

// What each job kind cannot run without (kro stops before it connects).
void check_required(std::vector<Finding>& findings, const xmlNode* job) {
    const std::string kind = lower(name_of(job));
    std::vector<const char*> required;
    if (kind == "syncjob") required = {"source", "target", "tables"};
    if (kind == "exportjob") required = {"source"};
    if (kind == "notifyjob") required = {"source", "query"};
    if (kind == "odbcimport") required = {"source", "dsn"};
    for (const char* name : required) {
        bool found = false;
        for (const xmlNode* c = job->children; c && !found; c = c->next) found = named(c, name);
        if (!found) add(findings, job, true, "<" + kind + "> has no <" + name + ">, which kro needs to run it");
    }
    // An import's table list says with its first attribute whether the entries count.
    for (const xmlNode* c = job->children; c; c = c->next)
        if (kind == "odbcimport" && named(c, "tables") && !c->properties)
            add(findings, c, true, "<tables> without an attribute makes kro refuse the job file; write "
                                   "<tables all=\"yes\"/> for every table or <tables all=\"no\"> with the entries");
}

// A job file that holds a password (server, SSH, proxy, mail, ODBC source) and that others
// may read gives the password away. A group may read it when it is kro's own group.
void check_access(std::vector<Finding>& findings, const xmlNode* root, const FileAccess& access) {
    const bool others = access.mode & 04;
    const bool group = (access.mode & 040) && !access.group_is_kro;
    if (!others && !group) return;
    const xmlNode* holder = nullptr;
    std::vector<const xmlNode*> pending = {root};
    while (!pending.empty() && !holder) {
        const xmlNode* node = pending.back();
        pending.pop_back();
        if (node->type != XML_ELEMENT_NODE) continue;
        if ((named(node, "pwd") || named(node, "sshpwd")) && !text_of(node).empty()) holder = node;
        for (const xmlAttr* a = node->properties; a && !holder; a = a->next) {
            XmlText v(xmlNodeListGetString(node->doc, a->children, 1));
            if (strcasecmp(reinterpret_cast<const char*>(a->name), "pwd") == 0 && v && *v) holder = node;
        }
        for (const xmlNode* c = node->children; c; c = c->next) pending.push_back(c);
    }
    if (!holder) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", access.mode & 07777);
    findings.push_back({0, false,
                        std::string("the file holds a password and is readable by ") +
                            (others ? "others" : "its group") + " (mode " + mode +
                            "): keep it private, chmod 600 and owned by the user that runs kro, or chmod 640 "
                            "with group kro"});
}

// kro takes the first node inside <job> as the job element: a comment or text before it
// leaves no job to run.
void check_job_element_first(std::vector<Finding>& findings, const xmlNode* root) {
    for (const xmlNode* c = root->children; c; c = c->next) {
        if (c->type == XML_ELEMENT_NODE) return;
        if (c->type == XML_TEXT_NODE && text_of(c).empty()) continue;
        add(findings, c, true,
            std::string(c->type == XML_COMMENT_NODE ? "a comment" : "text") +
                " before the job element inside <job>: kro stops with \"Invalid JOB TYPE selected.\"; move it out of <job>");
        return;
    }
}

bool has_declaration(const std::string& text) {
    const std::size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    return text.compare(start, 5, "<?xml") == 0;
}

void check_declaration(std::vector<Finding>& findings, const std::string& text) {
    if (has_declaration(text)) return;
    const auto high = std::find_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (high == text.end()) return;
    const int line = 1 + static_cast<int>(std::count(text.begin(), high, '\n'));
    findings.push_back({line, false,
                        "non-ASCII text in a job file without an XML declaration: kro reads it in the locale's "
                        "character set; put <?xml version=\"1.0\" encoding=\"UTF-8\"?> first to have it read as UTF-8"});
}

const xmlSchema* job_schema() {
    static std::unique_ptr<xmlSchema, SchemaFree> schema = [] {
        std::unique_ptr<xmlSchemaParserCtxt, SchemaParserFree> parser(
            xmlSchemaNewMemParserCtxt(kJobSchema, static_cast<int>(std::strlen(kJobSchema))));
        return std::unique_ptr<xmlSchema, SchemaFree>(parser ? xmlSchemaParse(parser.get()) : nullptr);
    }();
    return schema.get();
}

}  // namespace

std::vector<Finding> check_job_text(const std::string& text, const FileAccess* access) {
    Collector collector;
    collector.text = &text;
    std::vector<Finding> findings;
    check_declaration(findings, text);

    xmlSetStructuredErrorFunc(&collector, collect_error);
    // No network and no external entities: a job file is read as it is. Without a
    // declaration kro reads it in the locale's character set, and so does the check.
    const char* encoding = has_declaration(text) ? nullptr : platform::ansi_charset_name().c_str();
    std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), "job.xml", encoding, XML_PARSE_NONET));
    collector.parsing = false;
    if (doc) {
        const xmlNode* root = xmlDocGetRootElement(doc.get());
        if (root && named(root, "job")) {
            check_job_element_first(findings, root);
            for (const xmlNode* c = root->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE) {
                    check_switches(findings, c);
                    check_required(findings, c);
                    check_selection(findings, c);
                    break;
                }
        }
        if (root && access) check_access(findings, root, *access);
        if (const xmlSchema* schema = job_schema()) {
            std::unique_ptr<xmlSchemaValidCtxt, ValidFree> valid(xmlSchemaNewValidCtxt(const_cast<xmlSchema*>(schema)));
            xmlSchemaSetValidStructuredErrors(valid.get(), collect_error, &collector);
            xmlSchemaValidateDoc(valid.get(), doc.get());
        } else {
            findings.push_back({0, true, "the built-in job-file schema could not be read"});
        }
    }
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    findings.insert(findings.end(), collector.findings.begin(), collector.findings.end());
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) { return a.line < b.line; });
    return findings;
}

}  // namespace kro::check

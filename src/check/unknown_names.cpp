#include "check/unknown_names.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <libxml/parser.h>

#include "check/job_check.h"

extern const char kJobSchema[];  // share/kro/kro-job.xsd, built in

namespace kro::check {

namespace {

struct DocFree { void operator()(xmlDoc* d) const { xmlFreeDoc(d); } };
struct XmlTextFree { void operator()(xmlChar* t) const { xmlFree(t); } };
using XmlText = std::unique_ptr<xmlChar, XmlTextFree>;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

const char* name_of(const xmlNode* node) { return reinterpret_cast<const char*>(node->name); }

bool is_schema(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && std::strcmp(name_of(node), name) == 0;
}

// The names of the elements a content model declares, not those inside them.
void declared_children(const xmlNode* model, std::set<std::string>& names) {
    for (const xmlNode* c = model->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE) continue;
        if (is_schema(c, "element")) {
            XmlText name(xmlGetProp(c, reinterpret_cast<const xmlChar*>("name")));
            if (name) names.insert(reinterpret_cast<const char*>(name.get()));
        } else {
            declared_children(c, names);
        }
    }
}

// The names of the attributes an element declaration allows, not those of its children.
void declared_attributes(const xmlNode* model, std::set<std::string>& names) {
    for (const xmlNode* c = model->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || is_schema(c, "element")) continue;
        if (is_schema(c, "attribute")) {
            XmlText name(xmlGetProp(c, reinterpret_cast<const xmlChar*>("name")));
            if (name) names.insert(reinterpret_cast<const char*>(name.get()));
        } else {
            declared_attributes(c, names);
        }
    }
}

struct SchemaNames {
    std::map<std::string, std::set<std::string>> children;
    std::map<std::string, std::set<std::string>> attributes;
};

// For each element name of the schema, the names it may hold as children and as attributes
// (for a name declared in several places, all of them): a guess is taken only from what
// may stand where the unknown name stands.
const SchemaNames& schema_names() {
    static const SchemaNames names = [] {
        SchemaNames found;
        std::unique_ptr<xmlDoc, DocFree> schema(
            xmlReadMemory(kJobSchema, static_cast<int>(std::strlen(kJobSchema)), "kro-job.xsd", nullptr, XML_PARSE_NONET));
        const xmlNode* root = schema ? xmlDocGetRootElement(schema.get()) : nullptr;
        if (!root) return found;
        std::map<std::string, const xmlNode*> types;
        for (const xmlNode* c = root->children; c; c = c->next) {
            if (!is_schema(c, "complexType")) continue;
            XmlText name(xmlGetProp(c, reinterpret_cast<const xmlChar*>("name")));
            if (name) types[reinterpret_cast<const char*>(name.get())] = c;
        }
        // Every element declaration, wherever it stands.
        std::vector<const xmlNode*> pending = {root};
        while (!pending.empty()) {
            const xmlNode* node = pending.back();
            pending.pop_back();
            for (const xmlNode* c = node->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE) pending.push_back(c);
            if (!is_schema(node, "element")) continue;
            XmlText name(xmlGetProp(node, reinterpret_cast<const xmlChar*>("name")));
            if (!name) continue;
            const std::string element = reinterpret_cast<const char*>(name.get());
            std::set<std::string>& children = found.children[element];
            std::set<std::string>& attributes = found.attributes[element];
            XmlText type(xmlGetProp(node, reinterpret_cast<const xmlChar*>("type")));
            const auto named_type = type ? types.find(reinterpret_cast<const char*>(type.get())) : types.end();
            if (named_type != types.end()) {
                declared_children(named_type->second, children);
                declared_attributes(named_type->second, attributes);
            }
            declared_children(node, children);
            declared_attributes(node, attributes);
        }
        return found;
    }();
    return names;
}

}  // namespace

// "Element 'x': This element is not expected. ..." and "Element 'x', attribute 'y': The
// attribute 'y' is not allowed." say that kro refuses the name, and name the one meant
// when one that may stand in its place is close to what was written.
namespace {

// What a value of each of the schema's named types must be.
const char* meaning_of_type(const std::string& type) {
    static const std::map<std::string, const char*> meanings = {
        {"YesNoText", "yes or no"},
        {"YesNoWord", "yes or no"},
        {"ZeroOrOne", "0 or 1"},
        {"NumberOrEmpty", "a whole number, or nothing"},
        {"PortOrEmpty", "a port number from 1 to 65535, or nothing"},
        {"PositiveOrEmpty", "a whole number of 1 or more, or nothing"},
        {"CompressionText", "no, gzip, gzip:1 to gzip:9, zstd, or zstd:1 to zstd:22"},
        {"xs:positiveInteger", "a whole number of 1 or more"},
    };
    const auto found = meanings.find(type);
    return found == meanings.end() ? nullptr : found->second;
}

// What a value matching one of the schema's patterns must be.
const char* meaning_of_pattern(const std::string& pattern) {
    static const std::map<std::string, const char*> meanings = {
        {"[Yy][Ee][Ss]|[Nn][Oo]", "yes or no"},
        {"(-?[0-9]+)?", "a whole number, or nothing"},
        {"([Nn][Oo])?|[Gg][Zz][Ii][Pp](:[1-9])?|[Zz][Ss][Tt][Dd](:([1-9]|1[0-9]|2[0-2]))?",
         "no, gzip, gzip:1 to gzip:9, zstd, or zstd:1 to zstd:22"},
    };
    const auto found = meanings.find(pattern);
    return found == meanings.end() ? nullptr : found->second;
}

// The validator's complaint about a value, said so that a user can act on it:
//   Element 'port': '49901x' is not a valid value of the union type 'PortOrEmpty'.
//   Element 'x', attribute 'all': [facet 'pattern'] The value 'v' is not accepted by the pattern 'p'.
// "" for any other message, or a type or pattern without a meaning here.
std::string value_explained(const std::string& message) {
    static const char kBadValue[] = "' is not a valid value of the ";
    static const char kFacet[] = "': [facet 'pattern'] The value '";
    static const char kNotAccepted[] = "' is not accepted by the pattern '";
    std::string where, value;
    const char* meaning = nullptr;
    if (const std::size_t facet = message.find(kFacet); facet != std::string::npos) {
        const std::size_t value_at = facet + std::strlen(kFacet);
        const std::size_t refused = message.rfind(kNotAccepted);
        if (refused == std::string::npos || refused < value_at || message.size() < refused + std::strlen(kNotAccepted) + 2)
            return "";
        const std::size_t pattern_at = refused + std::strlen(kNotAccepted);
        meaning = meaning_of_pattern(message.substr(pattern_at, message.size() - pattern_at - 2));  // less "'."
        where = message.substr(9, facet - 9);
        value = message.substr(value_at, refused - value_at);
    } else {
        const std::size_t bad = message.rfind(kBadValue);
        const std::size_t value_at = message.find("': '");
        const std::size_t type_at = bad == std::string::npos ? bad : message.find("type '", bad);
        if (type_at == std::string::npos || value_at > bad) return "";
        meaning = meaning_of_type(message.substr(type_at + 6, message.find('\'', type_at + 6) - type_at - 6));
        where = message.substr(9, value_at - 9);
        value = message.substr(value_at + 4, bad - value_at - 4);
    }
    if (!meaning) return "";
    static const char kAttribute[] = "', attribute '";  // where: "port" or "databases', attribute 'all"
    const std::size_t attribute = where.find(kAttribute);
    const std::string taker = attribute == std::string::npos
                                  ? "<" + where + ">"
                                  : "the attribute " + where.substr(attribute + std::strlen(kAttribute)) + " of <" +
                                        where.substr(0, attribute) + ">";
    return "\"" + value + "\" is not a value " + taker + " takes (" + meaning + ")";
}

}  // namespace

std::string explained(const std::string& message, const xmlNode* node) {
    static const char kNotExpected[] = "': This element is not expected.";
    static const char kAttribute[] = "', attribute '";
    static const char kNotAllowed[] = "' is not allowed.";
    if (message.rfind("Element '", 0) != 0) return message;
    if (std::string value = value_explained(message); !value.empty()) return value;
    const std::size_t quote = message.find(kNotExpected);
    const std::size_t attribute = message.find(kAttribute);
    std::vector<std::string> candidates;
    if (quote == std::string::npos) {
        if (attribute == std::string::npos || message.find(kNotAllowed) == std::string::npos) return message;
        const std::string element = message.substr(9, attribute - 9);
        const std::size_t name_start = attribute + std::strlen(kAttribute);
        const std::string word = message.substr(name_start, message.find('\'', name_start) - name_start);
        if (node && node->type == XML_ELEMENT_NODE) {
            const auto& attributes = schema_names().attributes;
            const auto found = attributes.find(element);
            if (found != attributes.end()) candidates.assign(found->second.begin(), found->second.end());
        }
        const std::string guess = closest_name(word, candidates);
        return "<" + element + "> has no attribute " + word + " that kro knows" +
               (guess.empty() ? "" : "; did you mean " + guess + "?");
    }
    const std::string word = message.substr(9, quote - 9);
    std::string text = "<" + word + "> is not an element kro knows here";
    if (node && node->parent && node->parent->type == XML_ELEMENT_NODE) {
        const auto& children = schema_names().children;
        const auto found = children.find(name_of(node->parent));
        if (found != children.end()) candidates.assign(found->second.begin(), found->second.end());
    }
    const std::string guess = closest_name(word, candidates);
    const std::size_t expected = message.find("Expected is", quote);
    if (!guess.empty())
        text += "; did you mean <" + guess + ">?";
    else if (expected != std::string::npos)
        text += "; " + message.substr(expected);
    return text;
}


std::string closest_name(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    std::size_t best_distance = 4;
    const std::string w = lower(word);
    for (const std::string& candidate : candidates) {
        const std::string c = lower(candidate);
        if (c == w) continue;  // the right name in the wrong place: nothing to guess
        std::vector<std::size_t> row(c.size() + 1);
        for (std::size_t j = 0; j <= c.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= w.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= c.size(); ++j) {
                const std::size_t up = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (w[i - 1] == c[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        // Two edits, or a cut-short or lengthened name of four letters or more (<encrypt>).
        const bool prefix = std::min(w.size(), c.size()) >= 4 && (c.rfind(w, 0) == 0 || w.rfind(c, 0) == 0);
        if (row[c.size()] < best_distance && (row[c.size()] <= 2 || prefix)) {
            best_distance = row[c.size()];
            best = candidate;
        }
    }
    return best;
}

}  // namespace kro::check

#include "connection/tunnel_answer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <strings.h>

#include "common/base64.h"
#include "connection/tunnel_texts.h"
#include "connection/xml_scan.h"

using namespace kro::common;

namespace kro::connection {

using tinyxml2::XMLElement;

namespace {

constexpr std::size_t kMinSpaceBudget = 16u << 20;
constexpr std::size_t kMaxErrorText = 511;
constexpr char kUnknownVersion[] = "3.23.58";

const char* text_of(const XMLElement* parent, const char* child) {
    const XMLElement* e = parent->FirstChildElement(child);
    const char* t = e ? e->GetText() : nullptr;
    return t ? t : "";
}

// A decimal count or length: digits only, no overflow.
bool parse_count(const char* text, std::uint64_t& out) {
    if (!text) return false;
    std::string_view s(text);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\r' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r' || s.back() == '\t')) s.remove_suffix(1);
    if (s.empty()) return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// A decimal number as the handle keeps it; what is not a number reads as 0.
std::uint64_t number_of(const char* text) {
    std::uint64_t v = 0;
    return parse_count(text, v) ? v : 0;
}

// Takes a literal from the front of `text`. Rows are millions of these: the length is
// known at compile time, so the comparison is a few instructions.
template <std::size_t N>
bool take(std::string_view& text, const char (&literal)[N]) {
    if (text.size() < N - 1 || std::memcmp(text.data(), literal, N - 1) != 0) return false;
    text.remove_prefix(N - 1);
    return true;
}

TunnelOutcome unusable() {
    TunnelOutcome o;
    o.failed = true;
    o.error_number = tunnel_text::kErrCannotConnect;
    o.error_text = tunnel_text::kUnusableAnswer;
    return o;
}

}  // namespace

enum_field_types tunnel_type_code(const char* name) {
    static const struct {
        const char* name;
        enum_field_types code;
    } kTypes[] = {
        {"BIT", MYSQL_TYPE_BIT},           {"TINYINT", MYSQL_TYPE_TINY},
        {"SMALLINT", MYSQL_TYPE_SHORT},    {"INT", MYSQL_TYPE_LONG},
        {"FLOAT", MYSQL_TYPE_FLOAT},       {"DOUBLE", MYSQL_TYPE_DOUBLE},
        {"NULL", MYSQL_TYPE_NULL},         {"TIMESTAMP", MYSQL_TYPE_TIMESTAMP},
        {"BIGINT", MYSQL_TYPE_LONGLONG},   {"MEDIUMINT", MYSQL_TYPE_INT24},
        {"DATE", MYSQL_TYPE_DATE},         {"TIME", MYSQL_TYPE_TIME},
        {"DATETIME", MYSQL_TYPE_DATETIME}, {"YEAR", MYSQL_TYPE_YEAR},
        {"DECIMAL", MYSQL_TYPE_NEWDECIMAL}, {"ENUM", MYSQL_TYPE_ENUM},
        {"SET", MYSQL_TYPE_SET},           {"TINYBLOB", MYSQL_TYPE_TINY_BLOB},
        {"tinytext", MYSQL_TYPE_TINY_BLOB}, {"MEDIUMBLOB", MYSQL_TYPE_MEDIUM_BLOB},
        {"mediumtext", MYSQL_TYPE_MEDIUM_BLOB}, {"LONGBLOB", MYSQL_TYPE_LONG_BLOB},
        {"longtext", MYSQL_TYPE_LONG_BLOB}, {"BLOB", MYSQL_TYPE_BLOB},
        {"VARCHAR", MYSQL_TYPE_VAR_STRING}, {"CHAR", MYSQL_TYPE_STRING},
        {"GEOMETRY", MYSQL_TYPE_GEOMETRY},
    };
    if (name) {
        for (const auto& t : kTypes) {
            if (strcasecmp(name, t.name) == 0) return t.code;
        }
    }
    return MYSQL_TYPE_VAR_STRING;
}

bool TunnelAnswer::take_plain_row(std::string_view& rows, std::vector<PlainValue>* values) {
    std::string_view s = rows;
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\r' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    if (!take(s, "<r>")) return false;
    if (values) values->clear();
    while (!take(s, "</r>")) {
        PlainValue v;
        if (take(s, "<c>(NULL)</c>")) {
            v.null = true;
        } else {
            if (!take(s, "<c l='")) return false;
            auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v.length);
            if (ec != std::errc() || end == s.data()) return false;
            s.remove_prefix(end - s.data());
            if (!take(s, "'>")) return false;
            if (!take(s, "<![CDATA[]]></c>")) {
                std::size_t lt = s.find('<');
                if (lt == 0 || lt == std::string_view::npos) return false;
                v.base64 = s.substr(0, lt);
                s.remove_prefix(lt);
                if (!take(s, "</c>")) return false;
            }
        }
        if (values) values->push_back(v);
    }
    rows = s;
    return true;
}

bool TunnelAnswer::parse(std::string body) {
    body_ = std::move(body);
    row_lists_.clear();
    space_budget_ = std::max(body_.size(), kMinSpaceBudget);

    // The envelope is the answer with the content of every result's r_i element replaced
    // by the index of that content in row_lists_.
    std::string envelope;
    const char* copied = body_.data();
    std::string_view rest = body_;
    std::size_t depth = 0;
    while (!rest.empty()) {
        XmlToken t = next_xml_token(rest);
        if (t.kind == XmlTokenKind::malformed) break;
        if (t.kind == XmlTokenKind::end_tag && depth > 0) --depth;
        if (t.kind != XmlTokenKind::start_tag) continue;
        if (depth++ != 2 || t.name != "r_i") continue;
        std::string_view inner = rest;
        std::string_view rows;
        bool closed = false;
        for (std::size_t d = 1; !inner.empty();) {
            if (d == 1 && take_plain_row(inner, nullptr)) continue;  // the common case, quickly
            const char* at = inner.data();
            XmlToken u = next_xml_token(inner);
            if (u.kind == XmlTokenKind::malformed) break;
            if (u.kind == XmlTokenKind::start_tag) ++d;
            if (u.kind == XmlTokenKind::end_tag && --d == 0) {
                rows = std::string_view(rest.data(), at - rest.data());
                closed = true;
                break;
            }
        }
        if (!closed) break;  // left as it is: the parser reports the broken answer
        envelope.append(copied, rows.data() - copied);
        envelope += std::to_string(row_lists_.size());
        row_lists_.push_back(rows);
        copied = rows.data() + rows.size();
        rest = std::string_view(copied, body_.data() + body_.size() - copied);
        if (envelope.size() > kMaxEnvelopeBytes) return false;
    }
    envelope.append(copied, body_.data() + body_.size() - copied);
    if (envelope.size() > kMaxEnvelopeBytes) return false;

    if (envelope_.Parse(envelope.data(), envelope.size()) != tinyxml2::XML_SUCCESS) return false;
    int top_elements = 0;
    for (const tinyxml2::XMLNode* n = envelope_.FirstChild(); n; n = n->NextSibling()) {
        if (n->ToElement()) ++top_elements;
    }
    return top_elements == 1;
}

const XMLElement* TunnelAnswer::first_result() const {
    const XMLElement* top = envelope_.RootElement();
    return top ? top->FirstChildElement() : nullptr;
}

TunnelOutcome TunnelAnswer::read_result(const XMLElement* element) {
    TunnelOutcome o;
    const char* v = element ? element->Attribute("v") : nullptr;
    if (!v || strcasecmp(v, tunnel_text::kVersion) != 0) {
        o.failed = true;
        o.error_number = tunnel_text::kErrVersion;
        o.error_text = tunnel_text::kVersionMismatch;
        return o;
    }
    const XMLElement* errors = element->FirstChildElement("e_i");
    if (!errors) return unusable();
    if (const XMLElement* number = errors->FirstChildElement("e_n")) {
        o.failed = true;
        o.error_number = static_cast<unsigned>(number_of(number->GetText()));
        o.error_text = text_of(errors, "e_d");
        if (o.error_text.size() > kMaxErrorText) o.error_text.resize(kMaxErrorText);
        return o;
    }
    const XMLElement* version = element->FirstChildElement("s_v");
    o.server_version = version ? text_of(element, "s_v") : kUnknownVersion;
    if (element->FirstChildElement("m_i")) {
        o.has_info = true;
        o.info = text_of(element, "m_i");
    }
    o.affected_rows = number_of(text_of(element, "a_r"));
    o.insert_id = number_of(text_of(element, "i_i"));

    const XMLElement* fields = element->FirstChildElement("f_i");
    if (!fields) return o;
    std::uint64_t count = 0;
    if (!parse_count(fields->Attribute("c"), count) || count > 65535) return unusable();
    if (count == 0) return o;
    o.field_count = static_cast<unsigned>(count);

    auto result = std::make_unique<HttpResult>();
    result->field_count = o.field_count;
    if (!read_fields(fields, *result)) return unusable();
    if (!read_rows(element->FirstChildElement("r_i"), *result)) return unusable();
    o.result = std::move(result);
    return o;
}

bool TunnelAnswer::read_fields(const XMLElement* list, HttpResult& result) {
    for (const XMLElement* f = list->FirstChildElement(); f; f = f->NextSiblingElement()) {
        if (result.fields.size() == result.field_count) return false;
        MYSQL_FIELD field{};
        std::string_view name = text_of(f, "n"), table = text_of(f, "t"), def = text_of(f, "d");
        field.name = field.org_name = result.bytes.copy(name);
        field.table = field.org_table = result.bytes.copy(table);
        field.db = field.catalog = result.bytes.copy("");
        field.def = result.bytes.copy(def);
        field.name_length = field.org_name_length = static_cast<unsigned>(name.size());
        field.table_length = field.org_table_length = static_cast<unsigned>(table.size());
        field.def_length = static_cast<unsigned>(def.size());
        field.max_length = field.length = static_cast<unsigned long>(number_of(text_of(f, "m")));
        field.type = tunnel_type_code(text_of(f, "ty"));
        result.fields.push_back(field);
    }
    return result.fields.size() == result.field_count;
}

bool TunnelAnswer::read_rows(const XMLElement* list, HttpResult& result) {
    std::uint64_t count = 0;
    if (!list) return true;  // no rows
    if (!parse_count(list->Attribute("c"), count)) return false;
    if (count == 0) return true;
    std::uint64_t index = 0;
    if (!parse_count(list->GetText(), index) || index >= row_lists_.size()) return false;
    std::string_view rows = row_lists_[index];

    // Every value takes at least a few bytes of the answer, so the answer bounds the
    // room reserved whatever the counts claim.
    std::uint64_t values = std::min<std::uint64_t>(count * result.field_count, rows.size() / 4);
    result.values.reserve(values);
    result.lengths.reserve(values);
    std::string_view row;
    bool malformed = false;
    for (;;) {
        if (result.row_count < count && read_plain_row(rows, result)) {
            ++result.row_count;
            continue;
        }
        if (!next_xml_element(rows, row, malformed)) break;
        if (result.row_count == count) return false;
        if (row_.Parse(row.data(), row.size()) != tinyxml2::XML_SUCCESS || !row_.RootElement()) return false;
        unsigned n = 0;
        for (const XMLElement* v = row_.RootElement()->FirstChildElement(); v; v = v->NextSiblingElement()) {
            if (++n > result.field_count || !read_value(v, result)) return false;
        }
        if (n != result.field_count) return false;
        ++result.row_count;
    }
    return !malformed && result.row_count == count;
}

// A row in the script's form whose values agree with their lengths. False, with nothing
// taken, for any other row: the XML parser then reads it, or refuses it.
bool TunnelAnswer::read_plain_row(std::string_view& rows, HttpResult& result) {
    std::string_view rest = rows;
    if (!take_plain_row(rest, &plain_row_) || plain_row_.size() != result.field_count) return false;
    const std::size_t mark = result.values.size();
    for (const PlainValue& v : plain_row_) {
        char* bytes = nullptr;
        if (!v.null) {
            // The answer bounds the room: a value cannot decode to more than its text.
            if (v.length > v.base64.size()) break;
            bytes = result.bytes.allocate(v.length + 1);
            auto decoded = base64_decode_bounded(v.base64, bytes, v.length);
            if (!decoded || *decoded != v.length) break;
            bytes[v.length] = '\0';
        }
        result.values.push_back(bytes);
        result.lengths.push_back(static_cast<unsigned long>(v.length));
    }
    if (result.values.size() != mark + plain_row_.size()) {
        result.values.resize(mark);
        result.lengths.resize(mark);
        return false;
    }
    rows = rest;
    return true;
}

bool TunnelAnswer::read_value(const XMLElement* value, HttpResult& result) {
    const char* text = value->GetText();
    if (text && strcasecmp(text, "(NULL)") == 0) {
        result.values.push_back(nullptr);
        result.lengths.push_back(0);
        return true;
    }
    std::uint64_t length = 0;
    if (!parse_count(value->Attribute("l"), length)) return false;
    char* bytes = nullptr;
    if (!text) {
        // No text stands for that many spaces; the answer bounds how many it may ask for.
        if (length == 0 || length > space_budget_) return false;
        space_budget_ -= length;
        bytes = result.bytes.allocate(length + 1);
        std::memset(bytes, ' ', length);
    } else {
        std::string_view encoded(text);
        auto decoded = base64_decoded_length(encoded);
        if (!decoded || *decoded != length) return false;
        bytes = result.bytes.allocate(length + 1);
        base64_decode_into(encoded, bytes);
    }
    bytes[length] = '\0';
    result.values.push_back(bytes);
    result.lengths.push_back(static_cast<unsigned long>(length));
    return true;
}

}  // namespace kro::connection

// TunnelAnswer: the tunnel script's XML answer to one request, and the reading of its
// result elements into handle values and result records.
//
// The answer's rows are not parsed with the rest: the element tree is built for the
// envelope only (results, errors, field descriptors), and each row is read on its own
// when its result is read: rows in the exact form the tunnel script writes by a scanner,
// any other row by the XML parser. So a large result costs the answer text and the
// decoded rows, never a tree of the whole answer. Everything in the answer is untrusted:
// counts, lengths and Base64 are checked against the data, and an answer that disagrees
// with itself is refused as unusable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml2.h>

#include "connection/http_result.h"

namespace kro::connection {

// What one result element says.
struct TunnelOutcome {
    bool failed = false;  // affected rows all ones, no result
    unsigned error_number = 0;
    std::string error_text;
    std::string server_version;
    bool has_info = false;
    std::string info;
    std::uint64_t affected_rows = 0;
    std::uint64_t insert_id = 0;
    unsigned field_count = 0;
    std::unique_ptr<HttpResult> result;  // null for a statement without a result set
};

class TunnelAnswer {
public:
    // False when the body is not XML holding exactly one top element.
    bool parse(std::string body);
    const tinyxml2::XMLElement* first_result() const;
    // An element of this answer (first_result() or one of its next siblings).
    TunnelOutcome read_result(const tinyxml2::XMLElement* element);

    static constexpr std::size_t kMaxEnvelopeBytes = 64u << 20;

private:
    // One value of a row in the form the tunnel script writes (see take_plain_row).
    struct PlainValue {
        bool null = false;
        std::uint64_t length = 0;  // the l attribute
        std::string_view base64;   // empty for an empty value
    };

    // Takes one row in the exact form the tunnel script writes from the front of `rows`
    // (after white space): "<r>", per value "<c>(NULL)</c>", "<c l='N'>text</c>" or
    // "<c l='N'><![CDATA[]]></c>", then "</r>". Its values go to `values` when given.
    // False, with `rows` unchanged, for anything else; such rows are left to the parser.
    static bool take_plain_row(std::string_view& rows, std::vector<PlainValue>* values);

    bool read_fields(const tinyxml2::XMLElement* list, HttpResult& result);
    bool read_rows(const tinyxml2::XMLElement* list, HttpResult& result);
    bool read_plain_row(std::string_view& rows, HttpResult& result);
    bool read_value(const tinyxml2::XMLElement* value, HttpResult& result);

    std::string body_;
    std::vector<std::string_view> row_lists_;  // content of each r_i element, by index
    tinyxml2::XMLDocument envelope_;
    tinyxml2::XMLDocument row_;
    std::vector<PlainValue> plain_row_;  // the values of the row being read
    std::size_t space_budget_ = 0;
};

// The client library's type code for a type name of the answer.
enum_field_types tunnel_type_code(const char* name);

}  // namespace kro::connection

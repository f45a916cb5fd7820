// TunnelAnswer: the tunnel script's XML answer to one request, and the reading of its
// result elements into handle values and result records.
//
// The answer's rows are not parsed with the rest: the element tree is built for the
// envelope only (results, errors, field descriptors), and each row is parsed on its own
// when its result is read. So a large result costs the answer text, the decoded rows and
// one row's tree, never a tree of the whole answer. Everything in the answer is
// untrusted: counts, lengths and Base64 are checked against the data, and an answer that
// disagrees with itself is refused as unusable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml2.h>

#include "connection/http_result.h"

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
    bool read_fields(const tinyxml2::XMLElement* list, HttpResult& result);
    bool read_rows(const tinyxml2::XMLElement* list, HttpResult& result);
    bool read_value(const tinyxml2::XMLElement* value, HttpResult& result);

    std::string body_;
    std::vector<std::string_view> row_lists_;  // content of each r_i element, by index
    tinyxml2::XMLDocument envelope_;
    tinyxml2::XMLDocument row_;
    std::size_t space_budget_ = 0;
};

// The client library's type code for a type name of the answer.
enum_field_types tunnel_type_code(const char* name);

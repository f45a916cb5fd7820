#include "connection/tunnel_request.h"

#include "common/base64.h"
#include "common/html_text.h"

using namespace kro::common;

namespace kro::connection {

namespace {

void append_value(std::string& out, const char* tag, std::string_view value, bool encode) {
    out += '<';
    out += tag;
    out += encode ? " e='1'>" : " e='0'>";
    if (encode) {
        base64_encode_append(out, value);
    } else {
        append_xml_escaped(out, value);
    }
    out += "</";
    out += tag;
    out += '>';
}

}  // namespace

void append_xml_escaped(std::string& out, std::string_view text) {
    append_markup_escaped(out, text, kTunnelRequestStyle);
}

std::string build_tunnel_request(const TunnelRequest& r) {
    std::string out;
    bool query_b64 = r.encode_data || r.encode_query;
    out.reserve(256 + r.host.size() + r.user.size() + r.password.size() + r.database.size() +
                (query_b64 ? base64_encoded_length(r.query.size()) : r.query.size() + r.query.size() / 8));
    out += "<xml><connect_info>";
    const std::pair<const char*, std::string_view> values[] = {
        {"host", r.host}, {"user", r.user}, {"password", r.password}, {"db", r.database}, {"charset", r.charset}};
    for (const auto& [tag, value] : values) {
        if (!value.empty()) append_value(out, tag, value, r.encode_data);
    }
    append_value(out, "port", std::to_string(r.port), r.encode_data);
    out += "</connect_info><query_info>";
    out += r.batch ? "<query b='1'" : "<query b='0'";
    out += query_b64 ? " e='1'>" : " e='0'>";
    if (query_b64) {
        base64_encode_append(out, r.query);
    } else {
        append_xml_escaped(out, r.query);
    }
    out += "</query><querylen>";
    out += std::to_string(static_cast<unsigned>(r.query.size()));
    out += "</querylen></query_info></xml>";
    return out;
}

}  // namespace kro::connection

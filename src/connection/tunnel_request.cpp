#include "connection/tunnel_request.h"

#include <cstdio>

#include "common/base64.h"

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
    std::size_t plain = 0;  // start of the run of bytes copied as they are
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        const char* entity = nullptr;
        switch (c) {
            case '"': entity = "&quot;"; break;
            case '&': entity = "&amp;"; break;
            case '\'': entity = "&apos;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            default:
                if (c >= 32 || c == '\r' || c == '\n' || c == '\t') continue;
        }
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        if (entity) {
            out += entity;
        } else {
            char ref[8];
            std::snprintf(ref, sizeof ref, "&#x%X;", c);
            out += ref;
        }
    }
    out.append(text.data() + plain, text.size() - plain);
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

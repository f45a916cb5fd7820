// The XML request the HTTP tunnel posts to the tunnel script: the connection values and
// one statement text (or a batch of statements, each followed by the delimiter).
#pragma once

#include <string>
#include <string_view>

namespace kro::connection {

struct TunnelRequest {
    // Connection values; an empty one is left out of the request (the port never is).
    std::string_view host, user, password, database, charset;
    int port = 0;
    std::string_view query;
    bool batch = false;
    bool encode_data = false;   // every value in Base64
    bool encode_query = false;  // the query in Base64 (a byte outside 32..127)
};

// Appends text as XML character data: markup characters as entities, control bytes other
// than tab, line feed and carriage return as hexadecimal character references.
void append_xml_escaped(std::string& out, std::string_view text);

std::string build_tunnel_request(const TunnelRequest& request);

}  // namespace kro::connection

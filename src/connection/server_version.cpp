#include "connection/server_version.h"

#include <cctype>
#include <cstring>

#include "connection/tunnel.h"

namespace kro::connection {

namespace {

// One version part: a run of digits.
unsigned long read_part(const char*& p) {
    unsigned long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) value = value * 10 + static_cast<unsigned long>(*p++ - '0');
    return value;
}

}  // namespace

unsigned long parse_server_version(const char* text) {
    if (!text) return 0;
    // MariaDB servers before 11 may announce themselves as "5.5.5-10.x.y-MariaDB" for old
    // clients; the real version follows the prefix.
    if (std::strncmp(text, "5.5.5-", 6) == 0 && std::isdigit(static_cast<unsigned char>(text[6]))) text += 6;
    const char* p = text;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    unsigned long parts[3] = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        parts[i] = read_part(p);
        if (*p != '.' || !std::isdigit(static_cast<unsigned char>(p[1]))) break;
        ++p;
    }
    return parts[0] * 10000 + parts[1] * 100 + parts[2];
}

unsigned long server_version(Tunnel& tunnel, MYSQL* handle) {
    return handle ? parse_server_version(tunnel.get_server_info(handle)) : 0;
}

bool server_at_least_4_1_0(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 40099; }
bool server_above_4_1_0(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 40100; }
bool server_at_least_5_0_0(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 49999; }
bool server_at_least_5_0_10(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 50009; }
bool server_at_least_5_0_17(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 50016; }
bool server_at_least_5_1_6(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) > 50105; }
bool server_has_utf8mb4(Tunnel& tunnel, MYSQL* handle) { return server_version(tunnel, handle) >= 50503; }

}  // namespace kro::connection

#include "connection/tunnel.h"

#include <cstring>

#include "platform/text_convert.h"

using namespace kro::platform;

namespace kro::connection {

namespace {

// The HTTP settings are kept at most 127 characters long.
std::string cut_127(const char* text) { return utf8_prefix(text ? text : "", 127); }

}  // namespace

bool Tunnel::set_proxy(const char* host, int port, const char* user, const char* password) {
    if (!host || !user || !password) return false;
    proxy_host_ = cut_127(host);
    proxy_user_ = cut_127(user);
    proxy_password_ = cut_127(password);
    proxy_port_ = port;
    return true;
}

void Tunnel::set_content_type(const char* text) { content_type_ = cut_127(text); }

bool Tunnel::set_http_auth(bool on, const char* user, const char* password) {
    use_http_auth_ = on;
    if (!on) {
        http_auth_user_.clear();
        http_auth_password_.clear();
        return true;
    }
    if (!user || !password) return false;
    http_auth_user_ = cut_127(user);
    http_auth_password_ = cut_127(password);
    return true;
}

}  // namespace kro::connection

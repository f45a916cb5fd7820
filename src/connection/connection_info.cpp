#include "connection/connection_info.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <tinyxml2.h>

#include "common/job_xml.h"
#include "platform/text_convert.h"
#include "report/reporting.h"

using namespace kro::platform;
using namespace kro::common;
using namespace kro::report;

namespace kro::connection {

namespace {

using tinyxml2::XMLElement;

bool has_text(const XMLElement* element) { return !setting_text(element).empty(); }

// Job-flag texts: kept as they are in a UTF-8 job file, else converted from the locale.
void read_text(const XMLElement* parent, const char* name, StrBuf& field, int values_are_utf8) {
    if (const XMLElement* e = parent->FirstChildElement(name)) read_setting(e, field, values_are_utf8);
}

// Texts the program hands on unchanged (SSH settings, the tunnel URL).
void read_bytes(const XMLElement* parent, const char* name, StrBuf& field) {
    read_text(parent, name, field, 1);
}

// Passwords are read as written: white space around one may be part of it.
void read_password(const XMLElement* parent, const char* name, StrBuf& field, int values_are_utf8) {
    if (const XMLElement* e = parent->FirstChildElement(name)) read_element_text(e, field, values_are_utf8);
}

// 1 only for the exact text "1".
int exactly_one(const XMLElement* e) { return setting_text(e) == "1" ? 1 : 0; }

int setting_number(const XMLElement* e) { return std::atoi(setting_text(e).c_str()); }

// A number whose element may be missing or empty: those give the fallback.
int number_or(const XMLElement* parent, const char* name, int fallback) {
    const XMLElement* e = parent->FirstChildElement(name);
    return e && has_text(e) ? setting_number(e) : fallback;
}

std::string attribute(const XMLElement* e, const char* name) {
    const char* value = e->Attribute(name);
    return utf8_prefix(value ? value : "", 127);
}

// A port outside 1 to 65535, or with anything but digits in it ("57903abc"), counts as none
// given: the job then reports its settings as incomplete instead of connecting to whatever
// port the number wraps around to or starts with.
int port_number(const XMLElement* e) {
    const std::string text = setting_text(e);
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value >= 1 && value <= 65535 ? static_cast<int>(value) : 0;
}

void read_ssh_keys(const XMLElement* tunnel, ConnectionInfo& info) {
    info.use_ssh = 1;
    read_bytes(tunnel, "sshuser", info.ssh_user);
    read_password(tunnel, "sshpwd", info.ssh_password, 1);
    read_bytes(tunnel, "sshhost", info.ssh_host);
    info.ssh_port = number_or(tunnel, "sshport", 22);
    info.local_port = number_or(tunnel, "localport", 3310);
    const XMLElement* pass = tunnel->FirstChildElement("sshispass");
    info.ssh_password_auth = pass && setting_text(pass) == "0" ? 0 : 1;
    read_bytes(tunnel, "sshprivatekey", info.ssh_key_file);
}

void read_http_keys(const XMLElement* tunnel, ConnectionInfo& info, HttpTunnelSettings& http) {
    info.use_http = 1;
    read_bytes(tunnel, "url", info.tunnel_url);
    if (const XMLElement* e = tunnel->FirstChildElement("timeout"); e && has_text(e)) {
        // Seconds to milliseconds without overflowing: a huge value is the longest time-out.
        long long ms = static_cast<long long>(setting_number(e)) * 1000;
        info.http_timeout = static_cast<int>(std::clamp<long long>(ms, INT_MIN, INT_MAX));
    }

    const XMLElement* content_type = tunnel->FirstChildElement("contenttype");
    http.content_type = content_type ? utf8_prefix(setting_text(content_type), 127) : "text/xml";

    if (const XMLElement* e = tunnel->FirstChildElement("encodedata"))
        http.encode_data = setting_number(e) != 0;

    if (const XMLElement* proxy = tunnel->FirstChildElement("proxy")) {
        http.use_proxy = true;
        http.proxy_host = attribute(proxy, "server");
        http.proxy_port = proxy->Attribute("port") ? std::atoi(proxy->Attribute("port")) : 808;
        http.proxy_user = attribute(proxy, "user");
        http.proxy_password = attribute(proxy, "pwd");
    } else {
        http.use_proxy = false;
        http.proxy_host.clear();
        http.proxy_user.clear();
        http.proxy_password.clear();
        http.proxy_port = 808;
    }

    if (const XMLElement* auth = tunnel->FirstChildElement("httpauth")) {
        http.use_http_auth = true;
        http.http_auth_user = attribute(auth, "user");
        http.http_auth_password = attribute(auth, "pwd");
    } else {
        http.use_http_auth = false;
        http.http_auth_user.clear();
        http.http_auth_password.clear();
    }
}

}  // namespace

void reset_connection_info(ConnectionInfo& info) {
    info.port = 0;
    info.ssh_port = 0;
    info.local_port = 0;
    info.http_timeout = 0;
    info.use_http = 0;
    info.use_ssh = 0;
    info.ssl = 0;
    info.ssl_auth = 0;
    info.ssh_password_auth = 1;
    info.compressed = 1;
    info.compressed_given = 0;
    info.wait_timeout.assign("28800", 1);
}

void read_connection_info(const tinyxml2::XMLElement* server, ConnectionInfo& info,
                          HttpTunnelSettings& http, int values_are_utf8) {
    info.http_timeout = 30000;
    if (!server) return;

    if (const XMLElement* tunnel = server->FirstChildElement("tunnelinfo")) {
        if (const char* type = tunnel->Attribute("type")) {
            if (strcasecmp(type, "ssh") == 0)
                read_ssh_keys(tunnel, info);
            else if (strcasecmp(type, "http") == 0)
                read_http_keys(tunnel, info, http);
        }
    }

    read_text(server, "host", info.host, values_are_utf8);
    read_text(server, "user", info.user, values_are_utf8);
    read_password(server, "pwd", info.password, values_are_utf8);
    if (const XMLElement* e = server->FirstChildElement("port")) {
        info.port = has_text(e) ? port_number(e) : 3306;
        if (info.port == 0) info.port_text = setting_text(e);
    }
    if (const XMLElement* e = server->FirstChildElement("compressed")) {
        info.compressed = has_text(e) ? (setting_number(e) != 0 ? 1 : 0) : 1;
        info.compressed_given = 1;
    }
    if (const XMLElement* e = server->FirstChildElement("ssl")) info.ssl = exactly_one(e);
    if (const XMLElement* e = server->FirstChildElement("sslauth")) info.ssl_auth = exactly_one(e);
    read_text(server, "clientkey", info.ssl_client_key, values_are_utf8);
    read_text(server, "clientcert", info.ssl_client_cert, values_are_utf8);
    read_text(server, "cacert", info.ssl_ca_cert, values_are_utf8);
    read_text(server, "cipher", info.ssl_cipher, values_are_utf8);
    read_text(server, "charset", info.charset, values_are_utf8);
    read_text(server, "database", info.database, values_are_utf8);
}

std::string incomplete_server_detail(const ConnectionInfo& info, bool need_database) {
    std::string gaps;
    auto add = [&gaps](const std::string& gap) { gaps += (gaps.empty() ? "" : "; ") + gap; };
    if (info.host.empty()) add("<host> is missing");
    if (info.port == 0)
        add(info.port_text.empty() ? std::string("<port> is missing")
                                   : "<port> \"" + info.port_text + "\" is not a port number from 1 to 65535");
    if (info.user.empty()) add("<user> is missing");
    if (need_database && info.database.empty()) add("<database> is missing");
    return gaps.empty() ? gaps : " (" + gaps + ")";
}

int check_tunnel_settings(const ConnectionInfo& info) {
    if (info.use_http && info.tunnel_url.empty()) {
        report_failure("Please specify a HTTP tunneling URL\r\n");
        return 0;
    }
    if (info.use_ssh && info.ssh_host.empty()) {
        report_failure("Please specify the SSH server host.\r\n");
        return 0;
    }
    return 1;
}

}  // namespace kro::connection

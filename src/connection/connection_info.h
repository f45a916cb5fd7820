// One server's connection settings as a job file gives them, and the HTTP tunnel's
// proxy, authentication and content-type settings. Owned by the job that read them.
#pragma once

#include <string>

#include "common/str_buf.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::connection {

// The running SSH helper of a server and the agent's ends of its pipes. A helper has
// exactly one owner: a copy of the settings starts without one, and assigning settings
// keeps the helper the receiving side already had.
struct SshHelper {
    platform::ProcessHandle process = platform::kNoProcess;
    platform::UniqueFd input;   // the helper's standard input
    platform::UniqueFd output;  // its standard output and error
    // The process-wide record that the runner ends at exit, kept equal to `process`.
    platform::ProcessHandle* record = nullptr;

    SshHelper() = default;
    SshHelper(const SshHelper&) {}
    SshHelper& operator=(const SshHelper&) { return *this; }
};

struct ConnectionInfo {
    common::StrBuf user;
    int port = 0;  // 0: the client library's default
    std::string port_text;  // the <port> text as given, when it was no port number
    common::StrBuf database;
    common::StrBuf password;
    common::StrBuf host;  // for SSH: the host as the SSH server sees it
    int compressed = 1;
    int compressed_given = 0;  // the job file has the element (else loopback goes uncompressed)
    common::StrBuf wait_timeout{"28800", 1};
    common::StrBuf charset;

    int use_http = 0;
    common::StrBuf tunnel_url;
    int http_timeout = 0;  // milliseconds

    int use_ssh = 0;
    common::StrBuf ssh_user;
    common::StrBuf ssh_password;
    common::StrBuf ssh_host;
    int ssh_port = 0;
    int local_port = 0;
    int ssh_password_auth = 1;  // 1: password login, 0: private key
    common::StrBuf ssh_key_file;

    int ssl = 0;
    int ssl_auth = 0;
    common::StrBuf ssl_client_key;
    common::StrBuf ssl_client_cert;
    common::StrBuf ssl_ca_cert;
    common::StrBuf ssl_cipher;

    SshHelper ssh;  // run-time state of this server's SSH tunnel
};

// The HTTP tunnel's proxy, login and content-type settings, each kept to its first 127
// characters.
struct HttpTunnelSettings {
    bool use_proxy = false;
    bool use_http_auth = false;
    bool encode_data = false;
    std::string proxy_host;
    std::string proxy_user;
    std::string proxy_password;
    int proxy_port = 808;
    std::string http_auth_user;
    std::string http_auth_password;
    std::string content_type = "text/xml";
};

void reset_connection_info(ConnectionInfo& info);
// The tunnel settings a job checks before connecting: an HTTP tunnel needs its URL, an
// SSH tunnel its server. Reports the first gap (report_failure) and gives 0.
int check_tunnel_settings(const ConnectionInfo& info);
// What makes the server settings incomplete, to follow "Source SERVER information not
// complete": " (<host> is missing; <port> \"49901x\" is not a port number from 1 to 65535)",
// each gap named; the database counts when need_database. Empty when nothing is missing.
std::string incomplete_server_detail(const ConnectionInfo& info, bool need_database);
// Fills both records from a server element's children; values_are_utf8 0 converts the
// job-flag texts from the locale's character set.
void read_connection_info(const tinyxml2::XMLElement* server, ConnectionInfo& info,
                          HttpTunnelSettings& http, int values_are_utf8);

}  // namespace kro::connection

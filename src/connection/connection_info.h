// One server's connection settings as a job file gives them, and the HTTP tunnel's
// proxy, authentication and content-type settings. Owned by the job that read them.
#pragma once

#include <string>

#include "common/str_buf.h"
#include "platform/process.h"

namespace tinyxml2 {
class XMLElement;
}

struct ConnectionInfo {
    StrBuf user;
    int port = 0;  // 0: the client library's default
    StrBuf database;
    StrBuf password;
    StrBuf host;  // for SSH: the host as the SSH server sees it
    int compressed = 1;
    StrBuf wait_timeout{"28800", 1};
    StrBuf charset;

    int use_http = 0;
    StrBuf tunnel_url;
    int http_timeout = 0;  // milliseconds

    int use_ssh = 0;
    StrBuf ssh_user;
    StrBuf ssh_password;
    StrBuf ssh_host;
    int ssh_port = 0;
    int local_port = 0;
    int ssh_password_auth = 1;  // 1: password login, 0: private key
    StrBuf ssh_key_file;

    int ssl = 0;
    int ssl_auth = 0;
    StrBuf ssl_client_key;
    StrBuf ssl_client_cert;
    StrBuf ssl_ca_cert;
    StrBuf ssl_cipher;

    // Run-time state of this server's SSH tunnel: its current helper process, the write
    // end of the helper's standard input and the read end of its output (-1 when none).
    ProcessHandle ssh_process = kNoProcess;
    int ssh_stdin = -1;
    int ssh_output = -1;
};

// UTF-16 texts of the original settings are UTF-8 here, each cut to 127 characters.
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
// Fills both records from a server element's children; values_are_utf8 0 converts the
// job-flag texts from the locale's character set.
void read_connection_info(const tinyxml2::XMLElement* server, ConnectionInfo& info,
                          HttpTunnelSettings& http, int values_are_utf8);

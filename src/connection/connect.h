// Connecting to a server and setting its session up. Every routine works on both forms
// of Tunnel; failures of connect_server are reported here, the others leave the error
// in the handle for the caller.
#pragma once

#include <memory>

#include <mysql.h>

#include "connection/tunnel.h"

namespace kro::connection {

struct ConnectionInfo;
struct HttpTunnelSettings;

// One server connection: the Tunnel and the handle it gave. The handle is closed through
// the Tunnel before the Tunnel goes.
struct ServerConnection {
    std::unique_ptr<Tunnel> tunnel;
    MYSQL* handle = nullptr;
    // The HTTP form's version request failed while connecting; its error is in the handle.
    bool version_failed = false;

    ServerConnection() = default;
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;
    ~ServerConnection() { close(); }
    void close();
};

// Client library options for a direct connection, set before connect_server: the
// character set (utf8mb4) when want_utf8 is 1, a bounded connect and handshake,
// compression when it pays (see wants_compression), and the session's SQL mode and wait
// timeout as init commands. The library never reconnects by itself: a session silently
// replaced would lose its transaction, locks and variables (see reconnect).
// Does nothing without settings or Tunnel, or for the HTTP form.
void set_connect_options(const ConnectionInfo* info, Tunnel* tunnel, MYSQL* handle, int want_utf8);

// Connects with the settings (SSL, compression, the SSH tunnel's local end, the HTTP
// settings) and selects the database they name. Creates the Tunnel when none is given
// and takes a handle from it when handle is null. On failure the error is reported
// ("\r\nERROR: %ld, %s", followed by the server's place when side is given: "source",
// "target"), the handle closed and set to null, the Tunnel destroyed, and
// null returned; on success the Tunnel is returned. Once the run is being stopped it
// connects no more and reports nothing (the stop is reported by the runner).
// The HTTP form's first request asks for the server's version; when that fails, the
// database is not selected (another request to a tunnel that does not answer would only
// prolong the run), *version_failed is set and the error stays in the handle for the job.
std::unique_ptr<Tunnel> connect_server(const ConnectionInfo& info, MYSQL*& handle,
                                       std::unique_ptr<Tunnel> tunnel, const HttpTunnelSettings& http,
                                       const char* side = nullptr, bool* version_failed = nullptr);

// How a job wants its connection opened.
struct ConnectSetup {
    int want_utf8 = 1;           // direct form: ask the client library for utf8mb4
    bool encode_data = false;    // HTTP form: the settings' Base64 flag applies from the start
    const char* side = nullptr;  // what a failure calls the server ("source", "target")
};

// The connect sequence every job starts with: creates the Tunnel, takes a handle, sets the
// client options (direct form) and connects with the settings (connect_server, which also
// asks for the server's version and selects the settings' database). 1 when connected; 0
// after connect_server has reported why, with conn left empty.
int open_connection(ServerConnection& conn, const ConnectionInfo& info, const HttpTunnelSettings& http,
                    const ConnectSetup& setup = {});

// The server's version on a connection open_connection gave: false without asking again
// when the connect's version request already failed (its error is in the handle).
bool fetch_server_version(ServerConnection& conn);

// The session the sync and notification jobs work in: the server gives its version (false
// when it does not; its error stays in the handle), the session speaks "utf8", the
// settings' database is selected, and on servers from 5.0.10 on the SQL mode is empty.
bool set_up_session(ServerConnection& conn, const ConnectionInfo& info);

// Makes the session speak the named character set ("utf8" means utf8mb4 where the server
// has it); "[default]" or an empty name takes the database's character set.
void set_connection_charset(Tunnel& tunnel, MYSQL* handle, const char* name);

// "use `name`"; 1 when the server took it.
int select_database(const char* database, MYSQL* handle, Tunnel& tunnel);

// Seconds a connect and the server's greeting may take before the connect fails.
inline constexpr unsigned kConnectTimeoutSeconds = 30;

// Compression as the settings ask for it; when the job file does not say, a direct
// connection to a loopback address goes uncompressed (compressing costs time there and
// saves nothing), every other one compressed.
bool wants_compression(const ConnectionInfo& info);

// Brings a lost connection back on the same handle, for the callers that ask for it
// between whole units of work: restarts the server's SSH tunnel when it has one, opens a
// new session with the handle's settings, then selects the database again when one is
// given. The HTTP form also checks the server version and closes the handle (setting it
// to null) when that fails. False once the run is being stopped.
bool reconnect(Tunnel& tunnel, MYSQL*& handle, ConnectionInfo* info, const char* database);

}  // namespace kro::connection

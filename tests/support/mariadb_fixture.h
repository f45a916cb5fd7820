// The private test MariaDB of scripts/services.sh as the tests see it: its settings as a
// ConnectionInfo, and SQL run as a setup step on a connection of its own (utf8mb4,
// several statements at once). Each helper fails the calling test when the server is
// missing or a statement fails.
#pragma once

#include <string>

#include "connection/connect.h"
#include "connection/connection_info.h"
#include "connection/direct_tunnel.h"

// Host, port, user and password of the test user; everything else as reset.
kro::connection::ConnectionInfo mariadb_connection_info();

// Runs one or more ';'-separated statements; their results are discarded.
void mariadb_exec(const std::string& sql);

// The first column of the first row of a query's result ("" for NULL or no row).
std::string mariadb_value(const std::string& sql);

// Connects the way the jobs do: a direct Tunnel (or the one given), a handle, the connect
// options (with want_utf8), connect_server. True when connected.
bool connect_direct(kro::connection::ServerConnection& connection, const kro::connection::ConnectionInfo& info, int want_utf8 = 1,
                    std::unique_ptr<kro::connection::Tunnel> tunnel = nullptr);

// A direct connection to the real server that reports another version text, for the
// behaviour that depends on the server's age.
class VersionTunnel : public kro::connection::DirectTunnel {
public:
    explicit VersionTunnel(const char* version) : version_(version) {}
    const char* get_server_info(MYSQL*) override { return version_; }

private:
    const char* version_;
};

// The first column of the first row of a query sent through a connection ("" for none).
std::string connection_value(kro::connection::ServerConnection& connection, const char* sql);

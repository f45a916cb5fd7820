// The server's version as a number (major*10000 + minor*100 + patch), read from the
// version text the Tunnel gives, so that both forms answer alike; 0 while it is unknown.
#pragma once

#include <mysql.h>

namespace kro::connection {

class Tunnel;

// "10.11.6-MariaDB-0+deb12u1" gives 101106; text without a leading number gives 0.
unsigned long parse_server_version(const char* text);
unsigned long server_version(Tunnel& tunnel, MYSQL* handle);

bool server_at_least_4_1_0(Tunnel& tunnel, MYSQL* handle);   // above 40099
bool server_above_4_1_0(Tunnel& tunnel, MYSQL* handle);      // above 40100
bool server_at_least_5_0_0(Tunnel& tunnel, MYSQL* handle);   // above 49999
bool server_at_least_5_0_10(Tunnel& tunnel, MYSQL* handle);  // above 50009
bool server_at_least_5_0_17(Tunnel& tunnel, MYSQL* handle);  // above 50016
bool server_at_least_5_1_6(Tunnel& tunnel, MYSQL* handle);   // above 50105
// utf8mb4 exists from MySQL 5.5.3 on (and in every MariaDB).
bool server_has_utf8mb4(Tunnel& tunnel, MYSQL* handle);

}  // namespace kro::connection

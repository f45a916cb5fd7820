#include "connection/direct_tunnel.h"
#include "connection/http_tunnel.h"
#include "connection/tunnel.h"

namespace kro::connection {

std::unique_ptr<Tunnel> create_tunnel(int use_http) {
    if (use_http) return std::make_unique<HttpTunnel>();
    return std::make_unique<DirectTunnel>();
}

}  // namespace kro::connection

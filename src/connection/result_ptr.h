// ResultPtr: a result set that frees itself through the Tunnel that made it.
// The Tunnel must outlive the result.
#pragma once

#include <memory>

#include "connection/tunnel.h"

namespace kro::connection {

struct ResultDeleter {
    Tunnel* tunnel = nullptr;
    void operator()(TunnelResult* result) const {
        if (tunnel) tunnel->free_result(result);
    }
};

using ResultPtr = std::unique_ptr<TunnelResult, ResultDeleter>;

inline ResultPtr make_result(Tunnel& tunnel, TunnelResult* result) {
    return ResultPtr(result, ResultDeleter{&tunnel});
}

}  // namespace kro::connection

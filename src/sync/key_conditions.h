// Conditions on a key tuple against a boundary row of the key-order path: all rows after
// the boundary (greater_than) or up to it (at_most), in the server's own key order.
#pragma once

#include <string>
#include <vector>

namespace kro::sync {

// One key column's name (as the server gave it) and the boundary's value, already escaped
// for inside single quotes; unquoted values (integer and float keys) are written bare.
struct BoundaryValue {
    std::string name;
    std::string value;
    bool unquoted = false;
};

std::string greater_than(const std::vector<BoundaryValue>& boundary);
std::string at_most(const std::vector<BoundaryValue>& boundary);

}  // namespace kro::sync

// The rows of a stored result named by their 1-based numbers, found in one walk through
// it. A seek counts from the first row each time: seeking each row of a long result (a
// chunk's rows to delete, a target holding far more rows than the source) took time
// quadratic in its rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <mysql.h>

#include "connection/tunnel.h"

namespace kro::sync {

class NumberedRows {
public:
    // Numbers in rising order are reached by reading on; one behind the walk costs a seek.
    NumberedRows(connection::Tunnel& tunnel, connection::TunnelResult* result, const std::vector<std::uint32_t>& numbers);

    // The row of the i-th number and its lengths; null for a number the result lacks. Valid
    // while the result lives.
    MYSQL_ROW row(std::size_t i, const unsigned long*& lengths) const;

private:
    unsigned fields_ = 0;
    std::vector<MYSQL_ROW> rows_;
    std::vector<unsigned long> lengths_;  // fields_ for each row, copied: the library keeps one array
};

}  // namespace kro::sync

#include "sync/numbered_rows.h"

#include <algorithm>

using namespace kro::connection;

namespace kro::sync {

NumberedRows::NumberedRows(Tunnel& tunnel, TunnelResult* result, const std::vector<std::uint32_t>& numbers)
    : fields_(result ? tunnel.num_fields(result) : 0), rows_(numbers.size(), nullptr),
      lengths_(numbers.size() * fields_, 0) {
    if (!result) return;
    std::uint64_t read = 0;  // rows read since the last seek, counted from the first
    tunnel.data_seek(result, 0);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::uint32_t number = numbers[i];
        if (number == 0) continue;
        if (number <= read) {
            tunnel.data_seek(result, number - 1);
            read = number - 1;
        }
        MYSQL_ROW row = nullptr;
        while (read < number && (row = tunnel.fetch_row(result))) ++read;
        if (read != number || !row) {
            // Past the end: nothing more to find on this walk.
            read = tunnel.num_rows(result);
            continue;
        }
        rows_[i] = row;
        const unsigned long* lengths = tunnel.fetch_lengths(result);
        if (lengths) std::copy(lengths, lengths + fields_, lengths_.begin() + static_cast<std::ptrdiff_t>(i * fields_));
    }
}

MYSQL_ROW NumberedRows::row(std::size_t i, const unsigned long*& lengths) const {
    if (i >= rows_.size() || !rows_[i]) {
        lengths = nullptr;
        return nullptr;
    }
    lengths = lengths_.data() + i * fields_;
    return rows_[i];
}

}  // namespace kro::sync

// KeyRangePlan: cuts the range of a single numeric or temporal key into chunks of about
// 1000 rows each, and gives the WHERE text that selects each chunk.
//
// Chunk 0 holds the keys below high(0), chunk k (0 < k < last) the keys from low(k) up to
// below high(k), chunk last the keys from low(last) on; low(k) is high(k - 1) and the
// bounds never decrease, so every row belongs to exactly one chunk. Temporal bounds are
// computed by the source server (through `query`), so that they are its own texts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kro::sync {

// The rows a chunk holds (about, for a range plan): every way of cutting chunks uses it.
inline constexpr int kRowsPerChunk = 1000;

enum class RangeKind { integer, floating, timestamp, time };

// The two columns of a statement's first row (nullopt for NULL); nullopt when the
// statement failed or gave no row.
struct TextPair {
    std::optional<std::string> first, second;
};
using PairQuery = std::function<std::optional<TextPair>(const std::string& statement)>;

class KeyRangePlan {
public:
    struct Bound {
        std::string low, high;
    };

    // query runs the temporal statements on the source; numeric plans never call it.
    KeyRangePlan(std::string key, RangeKind kind, std::uint64_t rows, PairQuery query = {});

    // false when the plan cannot be made (bad texts, a temporal statement that failed).
    // A plan without boundaries (one chunk) is a success.
    bool make_plan(const char* min, const char* max);

    bool has_bounds() const { return last_ > 0; }
    int last() const { return last_; }
    const std::vector<Bound>& bounds() const { return bounds_; }

    // "where ..." for chunk 0 .. last; " where (1 = 1)" for a plan without boundaries.
    std::string range_condition(int chunk) const;

private:
    bool numeric_plan(const char* min, const char* max);
    bool temporal_plan(const char* min, const char* max);
    void close_plan();

    std::string key_;  // in backquotes, ready for SQL
    RangeKind kind_;
    std::uint64_t rows_;
    PairQuery query_;
    int last_ = 0;
    std::vector<Bound> bounds_;
};

}  // namespace kro::sync

#include "sync/range_plan.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "connection/sql_quote.h"
#include "sync/big_int.h"

using namespace kro::connection;

namespace kro::sync {

namespace {

// Width W of a chunk from the range MIN .. MAX and the row count, and the number of steps N.
// False when the plan gets no boundaries.
bool width_and_count(const BigInt& min, const BigInt& max, std::uint64_t rows, BigInt& width, long& count) {
    if (rows == 0) return false;
    BigInt range = max;
    range.subtract(min);
    width = range;
    width.multiply(kRowsPerChunk);
    BigInt divisor;
    divisor.set(std::to_string(rows).c_str());
    width.divide(divisor);
    if (width.compare(1) <= 0) return false;
    BigInt steps = range;
    steps.divide(width);
    const char* text = steps.text();
    if (!text) return false;
    errno = 0;
    count = std::strtol(text, nullptr, 10);
    return errno == 0 && count > 0;
}

// A float text as a whole number, rounded down or up; false for text that is no number.
bool whole_number(const char* text, bool round_up, BigInt& out) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end || !std::isfinite(value)) return false;
    char digits[400];
    std::snprintf(digits, sizeof digits, "%.0f", round_up ? std::ceil(value) : std::floor(value));
    return out.set(digits);
}

// The integer part of a seconds text such as "1577836800.500000", rounded down.
bool whole_seconds(const std::string& text, BigInt& out) {
    if (text.find_first_of(".eE") == std::string::npos) return out.set(text.c_str());
    return whole_number(text.c_str(), false, out);
}


}  // namespace

KeyRangePlan::KeyRangePlan(std::string key, RangeKind kind, std::uint64_t rows, PairQuery query)
    : key_(backquoted(key)), kind_(kind), rows_(rows), query_(std::move(query)) {}

bool KeyRangePlan::make_plan(const char* min, const char* max) {
    last_ = 0;
    bounds_.clear();
    if (!min || !max) return false;
    if (kind_ == RangeKind::integer || kind_ == RangeKind::floating) return numeric_plan(min, max);
    return temporal_plan(min, max);
}

// Integer keys step from MIN (or from W when W is above a non-negative MIN) by W until
// MAX. Float keys take the same walk over whole numbers: MIN rounded down, MAX rounded
// up, so that a fractional or negative range is cut like an integer one.
bool KeyRangePlan::numeric_plan(const char* min_text, const char* max_text) {
    BigInt min, max;
    if (kind_ == RangeKind::integer) {
        if (!min.set(min_text) || !max.set(max_text)) return false;
    } else if (!whole_number(min_text, false, min) || !whole_number(max_text, true, max)) {
        return false;
    }
    BigInt width;
    long count = 0;
    if (!width_and_count(min, max, rows_, width, count)) return true;

    // A bound above MAX would make the bounds decrease, and a row could fall into two
    // chunks: every bound stops at MAX.
    BigInt high = (width.compare(min) > 0 && min.compare(0) >= 0) ? width : min;
    bool reached_max = high.compare(max) >= 0;
    if (reached_max) high = max;
    bounds_.push_back({min_text, reached_max ? max_text : high.text()});
    for (long i = 1; i <= count && !reached_max; ++i) {
        high.add(width);
        reached_max = high.compare(max) >= 0;
        const char* text = reached_max ? max_text : high.text();
        if (!text) return false;
        bounds_.push_back({bounds_.back().high, text});
    }
    close_plan();
    return true;
}

bool KeyRangePlan::temporal_plan(const char* min_text, const char* max_text) {
    bool timestamp = kind_ == RangeKind::timestamp;
    const char* to_seconds = timestamp ? "UNIX_TIMESTAMP" : "TIME_TO_SEC";
    const char* from_seconds = timestamp ? "FROM_UNIXTIME" : "SEC_TO_TIME";
    if (!query_) return false;
    std::string statement = std::string("SELECT ") + to_seconds + "('" + min_text + "'), " +
                            to_seconds + "('" + max_text + "')";
    std::optional<TextPair> seconds = query_(statement);
    if (!seconds || !seconds->second) return false;
    BigInt min, max;
    if (!whole_seconds(seconds->first.value_or("0"), min) || !whole_seconds(*seconds->second, max))
        return false;
    BigInt width;
    long count = 0;
    if (!width_and_count(min, max, rows_, width, count)) return true;

    std::string max_seconds = max.text();
    std::string width_text = width.text();
    BigInt current = min;
    for (long i = 0; i <= count; ++i) {
        std::string cur = current.text();
        std::optional<TextPair> pair = query_(std::string("SELECT ") + from_seconds + "(" + cur + "), " +
                                              from_seconds + "(LEAST(" + max_seconds + ", " + cur + "+" +
                                              width_text + "))");
        if (!pair || !pair->first || !pair->second) return false;
        bounds_.push_back({*pair->first, *pair->second});
        current.add(width);
        if (current.compare(max) >= 0) break;
    }
    close_plan();
    return true;
}

void KeyRangePlan::close_plan() {
    bounds_.push_back({bounds_.back().high, std::string()});
    last_ = static_cast<int>(bounds_.size()) - 1;
}

std::string KeyRangePlan::range_condition(int chunk) const {
    if (!has_bounds()) return " where (1 = 1)";
    const char* quote = (kind_ == RangeKind::integer || kind_ == RangeKind::floating) ? "" : "'";
    auto value = [quote](const std::string& text) { return quote + text + quote; };
    std::string column = " " + key_;
    if (chunk <= 0) return "where" + column + " < " + value(bounds_[0].high);
    if (chunk >= last_) return "where" + column + " >= " + value(bounds_[last_].low);
    const Bound& bound = bounds_[chunk];
    return "where" + column + " >= " + value(bound.low) + "  and" + column + " < " + value(bound.high);
}

}  // namespace kro::sync

#include "sync/key_order.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "connection/sql_quote.h"
#include "sync/big_int.h"

using namespace kro::connection;

namespace kro::sync {

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

int compare_bytes(std::string_view a, std::string_view b) {
    int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c) return sign(c);
    return (a.size() > b.size()) - (a.size() < b.size());
}

// A decimal number as sign, integer digits without leading zeros and fraction digits
// without trailing zeros; zero is positive.
struct Decimal {
    bool negative = false;
    std::string_view whole, fraction;
};

Decimal parse_decimal(std::string_view text) {
    Decimal d;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        d.negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::size_t point = text.find('.');
    d.whole = text.substr(0, point);
    d.fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    while (!d.whole.empty() && d.whole[0] == '0') d.whole.remove_prefix(1);
    while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.remove_suffix(1);
    if (d.whole.empty() && d.fraction.empty()) d.negative = false;
    return d;
}

int compare_decimal(std::string_view a_text, std::string_view b_text) {
    Decimal a = parse_decimal(a_text), b = parse_decimal(b_text);
    if (a.negative != b.negative) return a.negative ? -1 : 1;
    int magnitude = sign(static_cast<int>(a.whole.size()) - static_cast<int>(b.whole.size()));
    if (!magnitude) magnitude = sign(a.whole.compare(b.whole));
    if (!magnitude) magnitude = sign(a.fraction.compare(b.fraction));
    return a.negative ? -magnitude : magnitude;
}

// TIME as signed microseconds.
long long time_value(std::string_view text) {
    std::string s(text);
    bool negative = !s.empty() && s[0] == '-';
    const char* p = s.c_str() + (negative ? 1 : 0);
    char* end = nullptr;
    long long hours = std::strtoll(p, &end, 10);
    long long minutes = 0, seconds = 0, micros = 0;
    if (*end == ':') minutes = std::strtoll(end + 1, &end, 10);
    if (*end == ':') seconds = std::strtoll(end + 1, &end, 10);
    if (*end == '.') {
        std::string digits(end + 1);
        digits.resize(6, '0');
        micros = std::strtoll(digits.c_str(), nullptr, 10);
    }
    long long value = ((hours * 60 + minutes) * 60 + seconds) * 1000000 + micros;
    return negative ? -value : value;
}

}  // namespace

KeySort key_sort(const ColumnDefinition& c) {
    const std::string column = backquoted(c.name);
    if (c.is_member()) return {KeyOrder::member, column + "+0"};
    if (c.is_integer() || c.type == ColumnType::year) return {KeyOrder::integer, {}};
    if (c.is_floating()) return {KeyOrder::floating, {}};
    if (c.type == ColumnType::decimal) return {KeyOrder::decimal, {}};
    if (c.type == ColumnType::time) return {KeyOrder::time, {}};
    if (c.has_collation()) {
        // A PAD SPACE collation compares as if the shorter text had trailing spaces:
        // padding both sort keys to the column's length makes them compare the same way.
        if (c.collation.find("_nopad_") != std::string::npos) return {KeyOrder::weight, "WEIGHT_STRING(" + column + ")"};
        unsigned long length = c.length.value_or(c.type == ColumnType::tinytext ? 255 : 0);
        if (length == 0) return {KeyOrder::weight, "WEIGHT_STRING(" + column + ")"};
        return {KeyOrder::weight, "WEIGHT_STRING(" + column + " AS CHAR(" + std::to_string(length) + "))"};
    }
    return {KeyOrder::bytes, {}};
}

int compare_key_values(KeyOrder order, const char* a, unsigned long a_length, const char* b,
                       unsigned long b_length) {
    std::string_view x(a, a_length), y(b, b_length);
    switch (order) {
    case KeyOrder::integer:
    case KeyOrder::member: {
        // Most keys fit in 64 bits: compare those without GMP.
        if (a_length < 19 && b_length < 19) {
            long long p = std::strtoll(std::string(x).c_str(), nullptr, 10);
            long long q = std::strtoll(std::string(y).c_str(), nullptr, 10);
            return (p > q) - (p < q);
        }
        BigInt p, q;
        if (p.set(std::string(x).c_str()) && q.set(std::string(y).c_str())) return p.compare(q);
        return compare_bytes(x, y);
    }
    case KeyOrder::floating: {
        double p = std::strtod(std::string(x).c_str(), nullptr);
        double q = std::strtod(std::string(y).c_str(), nullptr);
        return (p > q) - (p < q);
    }
    case KeyOrder::decimal:
        return compare_decimal(x, y);
    case KeyOrder::time: {
        long long p = time_value(x), q = time_value(y);
        return (p > q) - (p < q);
    }
    case KeyOrder::bytes:
    case KeyOrder::weight:
        return compare_bytes(x, y);
    }
    return 0;
}

}  // namespace kro::sync

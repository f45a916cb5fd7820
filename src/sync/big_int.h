// BigInt: a signed integer of any size (GMP) with the decimal text it last gave out.
// Key-range arithmetic and integer key comparison use it, so that BIGINT UNSIGNED keys
// and their differences never overflow.
#pragma once

#include <cstdint>
#include <string>

#include <gmpxx.h>

namespace kro::sync {

class BigInt {
public:
    // Texts longer than this many digits are refused (no key comes near it).
    static constexpr std::size_t max_digits = 511;

    BigInt() = default;
    explicit BigInt(std::int64_t value) { set(value); }

    // Base 10, optional sign; false (value unchanged) when text is not an integer.
    bool set(const char* text);
    void set(std::int64_t value);

    // The decimal text, kept in the object; null when it would pass max_digits.
    const char* text();

    BigInt& add(const BigInt& other);
    BigInt& subtract(const BigInt& other);
    BigInt& multiply(std::int32_t factor);
    // Both round toward minus infinity; false (value unchanged) for a zero divisor.
    bool divide(std::int32_t divisor);
    bool divide(const BigInt& divisor);

    // Negative, zero or positive as this is below, equal to or above the other.
    int compare(const BigInt& other) const;
    int compare(std::int64_t other) const;

private:
    mpz_class value_;
    std::string text_;
};

}  // namespace kro::sync

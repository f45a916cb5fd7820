#include "sync/big_int.h"

#include <cstring>

namespace kro::sync {

bool BigInt::set(const char* text) {
    if (!text) return false;
    const char* digits = (*text == '-' || *text == '+') ? text + 1 : text;
    if (!*digits || std::strspn(digits, "0123456789") != std::strlen(digits)) return false;
    // GMP refuses a leading '+'.
    return value_.set_str(*text == '+' ? text + 1 : text, 10) == 0;
}

void BigInt::set(std::int64_t value) {
    // mpz_class has no 64-bit constructor on every platform: go through the text.
    value_.set_str(std::to_string(value), 10);
}

const char* BigInt::text() {
    text_ = value_.get_str(10);
    std::size_t digits = text_.size() - (text_[0] == '-' ? 1 : 0);
    return digits > max_digits ? nullptr : text_.c_str();
}

BigInt& BigInt::add(const BigInt& other) {
    value_ += other.value_;
    return *this;
}

BigInt& BigInt::subtract(const BigInt& other) {
    value_ -= other.value_;
    return *this;
}

BigInt& BigInt::multiply(std::int32_t factor) {
    value_ *= static_cast<long>(factor);
    return *this;
}

bool BigInt::divide(std::int32_t divisor) {
    if (divisor == 0) return false;
    mpz_class d(static_cast<long>(divisor));
    mpz_fdiv_q(value_.get_mpz_t(), value_.get_mpz_t(), d.get_mpz_t());
    return true;
}

bool BigInt::divide(const BigInt& divisor) {
    if (divisor.value_ == 0) return false;
    mpz_fdiv_q(value_.get_mpz_t(), value_.get_mpz_t(), divisor.value_.get_mpz_t());
    return true;
}

int BigInt::compare(const BigInt& other) const {
    int c = cmp(value_, other.value_);
    return (c > 0) - (c < 0);
}

int BigInt::compare(std::int64_t other) const { return compare(BigInt(other)); }

}  // namespace kro::sync

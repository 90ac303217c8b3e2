// xalgo: greatest common divisor and the greatest prime below a limit.
#include "xint.h"

using namespace zax;

namespace {

uint32_t gcd(uint32_t x, uint32_t y) {
    while (y != 0) {
        uint32_t r = x % y;
        x = y;
        y = r;
    }
    return x;
}

bool is_prime(uint32_t n) {
    // Trial division up to the square root finds the same divisors as trial
    // division by every smaller number, in far less time near 2^32.
    if (n < 2) return false;
    if (n < 4) return true;
    if (n % 2 == 0) return false;
    for (uint64_t d = 3; d * d <= n; d += 2)
        if (n % d == 0) return false;
    return true;
}

}  // namespace

extern "C" {

XAPI uint32_t XCalcGCD(const uint32_t *values, int32_t count) {
    if (values == nullptr) {
        lib_error(FN_XCalcGCD, R_XCalcGCD_BAD_ARGUMENT, 1);
        return 0;
    }
    if (count < 1) {
        lib_error(FN_XCalcGCD, R_XCalcGCD_BAD_ARGUMENT, 2);
        return 0;
    }
    uint32_t g = values[count - 1];
    for (int32_t i = count - 1; i > 0; --i) g = gcd(values[i - 1], g);
    return g;
}

XAPI uint32_t XCalcPrimeNum(uint32_t limit) {
    if (limit < 2) {
        lib_error(FN_XCalcPrimeNum, R_XCalcPrimeNum_BAD_ARGUMENT, 1);
        return 0;
    }
    for (uint32_t n = limit;; --n)
        if (is_prime(n)) return n;
}

}  // extern "C"

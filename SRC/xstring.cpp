// xstring: lengths and comparison of terminated strings, and the
// character-set test.
#include <cstring>

#include "xint.h"

using namespace zax;

extern "C" {

XAPI int32_t XGetStrLen(const char *text, uint8_t terminator, int32_t limit) {
    if (text == nullptr) {
        lib_error(FN_XGetStrLen, R_XGetStrLen_BAD_ARGUMENT, 1);
        return -1;
    }
    if (limit == -1) {
        // Unbounded: each byte is compared as a signed char against the
        // terminator as an unsigned value, so a terminator above 0x7F is never
        // found and the count runs to the zero byte. Callers depend on that.
        const int term = terminator;
        int32_t n = 0;
        for (const signed char *p = reinterpret_cast<const signed char *>(text);
             *p != 0 && int(*p) != term; ++p)
            ++n;
        return n;
    }
    if (limit <= 0) {
        lib_error(FN_XGetStrLen, R_XGetStrLen_BAD_ARGUMENT, 3);
        return -1;
    }
    const auto *p = reinterpret_cast<const uint8_t *>(text);
    for (int32_t i = 0; i < limit; ++i)
        if (p[i] == 0 || p[i] == terminator) return i;
    return limit;
}

XAPI char *XConcatStr(char *destination, const char *source) {
    return std::strcat(destination, source);
}

XAPI int32_t XCompStr(const char *first, const char *second, uint8_t terminator, int32_t limit) {
    auto length = [&](const char *s) {
        int32_t n = XGetStrLen(s, 0, limit);
        if (terminator != 0) {
            int32_t t = XGetStrLen(s, terminator, limit);
            if (t < n) n = t;
        }
        return n;
    };
    int32_t a = length(first);
    int32_t b = length(second);
    // Lengths that could not be had (a null string, a refused limit) do not
    // compare: the strings count as different, and XGetStrLen's error stays.
    if (a != b || a < 0) return -2;
    return XCompBuf(first, second, a);
}

XAPI int32_t XTestMask(const char *text, uint32_t length, const char *allowed) {
    if (text == nullptr) {
        lib_error(FN_XTestMask, R_XTestMask_BAD_ARGUMENT, 1);
        return 0;
    }
    if (length == 0) {
        lib_error(FN_XTestMask, R_XTestMask_BAD_ARGUMENT, 2);
        return 0;
    }
    if (allowed == nullptr) {
        lib_error(FN_XTestMask, R_XTestMask_BAD_ARGUMENT, 3);
        return 0;
    }
    bool in_set[256] = {};
    in_set[0] = true;  // a zero byte matches the set's own terminator
    for (const auto *a = reinterpret_cast<const uint8_t *>(allowed); *a != 0; ++a) in_set[*a] = true;
    const auto *t = reinterpret_cast<const uint8_t *>(text);
    for (uint32_t i = 0; i < length; ++i) {
        if (!in_set[t[i]]) {
            lib_error(FN_XTestMask, R_XTestMask_NOT_IN_SET, 0);
            return 0;
        }
    }
    return 1;
}

}  // extern "C"

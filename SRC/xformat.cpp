// Bounded message formatting: the family's programs pass 32-bit values for
// "%ld" and its siblings, so the "l" is dropped before the standard formatter
// sees it (here long is 64 bits and would read stray upper bits).
#include "xformat.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "os/heap.h"

namespace zax {
namespace {

constexpr bool is_int_conversion(char c) {
    return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o';
}

// Copies format to out (which has room for strlen(format) + 1 bytes) with a
// lone "l" of integer conversions removed; returns whether anything changed.
bool drop_long(const char *format, char *out) {
    bool changed = false;
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            *out++ = *p++;
            continue;
        }
        *out++ = *p++;
        if (*p == '%') {
            *out++ = *p++;
            continue;
        }
        // Flags, width, precision: copied as they are.
        while (*p != '\0' && std::strchr("-+ #0123456789.*'", *p) != nullptr) *out++ = *p++;
        if (p[0] == 'l' && p[1] != 'l' && is_int_conversion(p[1])) {
            ++p;
            changed = true;
        } else {
            while (*p != '\0' && std::strchr("hlLqjzt", *p) != nullptr) *out++ = *p++;
        }
        if (*p != '\0') *out++ = *p++;
    }
    *out = '\0';
    return changed;
}

bool has_long_int(const char *format) {
    for (const char *p = std::strchr(format, 'l'); p != nullptr; p = std::strchr(p + 1, 'l'))
        if (is_int_conversion(p[1])) return true;
    return false;
}

}  // namespace

int format_bounded(char *buffer, size_t size, const char *format, va_list args) {
    // Most formats have no "%l": they go to the formatter unchanged.
    if (!has_long_int(format)) return std::vsnprintf(buffer, size, format, args);
    size_t len = std::strlen(format);
    char local[512];
    char *copy = len < sizeof local ? local : static_cast<char *>(os::heap_alloc(len + 1));
    if (copy == nullptr) return std::vsnprintf(buffer, size, format, args);
    drop_long(format, copy);
    int n = std::vsnprintf(buffer, size, copy, args);
    int err = errno;
    if (copy != local) (void)os::heap_free(copy);
    errno = err;
    return n;
}

}  // namespace zax

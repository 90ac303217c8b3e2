// xbuffer: byte-buffer operations. Only XGetBufLen checks its arguments; the
// others trust the caller as the C library does, except that a length below 1
// does nothing rather than running off through memory.
#include <cstring>

#include "xint.h"

using namespace zax;

extern "C" {

XAPI void *XClearBuf(void *buffer, uint8_t byte, int32_t length) {
    if (length > 0) std::memset(buffer, byte, static_cast<size_t>(length));
    return buffer;
}

XAPI void *XCopyBuf(void *destination, const void *source, int32_t length) {
    if (length > 0) std::memcpy(destination, source, static_cast<size_t>(length));
    return destination;
}

XAPI void *XMoveBuf(void *destination, const void *source, int32_t length) {
    if (length > 0) std::memmove(destination, source, static_cast<size_t>(length));
    return destination;
}

XAPI int32_t XCompBuf(const void *first, const void *second, int32_t length) {
    if (length <= 0) return 0;
    int c = std::memcmp(first, second, static_cast<size_t>(length));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

XAPI int32_t XGetBufLen(const void *buffer, uint8_t byte, int32_t limit) {
    if (buffer == nullptr) {
        lib_error(FN_XGetBufLen, R_XGetBufLen_BAD_ARGUMENT, 1);
        return -1;
    }
    if (limit < 1) {
        lib_error(FN_XGetBufLen, R_XGetBufLen_BAD_ARGUMENT, 3);
        return -1;
    }
    const void *hit = std::memchr(buffer, byte, static_cast<size_t>(limit));
    if (hit == nullptr) {
        lib_error(FN_XGetBufLen, R_XGetBufLen_NOT_FOUND, 0);
        return -1;
    }
    return static_cast<int32_t>(static_cast<const uint8_t *>(hit) -
                                static_cast<const uint8_t *>(buffer));
}

}  // extern "C"

// xmeml: heap memory for callers and for the library's own records.
#include <cerrno>

#include "os/heap.h"
#include "xint.h"

using namespace zax;

Status zax::free_block(void *block) {
    if (block == nullptr) return lib_status(FN_XFreeMemory, R_XFreeMemory_BAD_ARGUMENT, 1);
    if (int err = os::heap_free(block))
        return sys_status(FN_XFreeMemory, R_XFreeMemory_FREE_FAILED, err);
    return {};
}

extern "C" {

XAPI void *XAllocMemory(int32_t size, uint32_t /*flags: every block is zero-filled*/) {
    if (size == 0) {
        lib_error(FN_XAllocMemory, R_XAllocMemory_BAD_ARGUMENT, 1);
        return X_FAILED_PTR;
    }
    // A negative size is a request beyond what the 32-bit heap can give.
    if (size < 0) {
        sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
        return X_FAILED_PTR;
    }
    void *p = os::heap_alloc(static_cast<size_t>(size));
    if (p == nullptr) {
        sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
        return X_FAILED_PTR;
    }
    return p;
}

XAPI int32_t XFreeMemory(void *block) {
    return recorded(free_block(block));
}

}  // extern "C"

// Internal helpers shared by the modules: recording failures in the calling
// thread's error record.  Modules include this and zaxxlib.h; they never call
// the operating system directly (that is SRC/os/).
#pragma once
#include <cstdint>

#include "xcodes.h"
#include "zaxxlib.h"

namespace zax {

constexpr uint32_t kSystem = X_KIND_SYSTEM;
constexpr uint32_t kLibrary = X_KIND_LIBRARY;

// The error code of function fn with reason. Reasons are the named R_
// constants of xcodes.h: a bare number does not convert to a Reason.
constexpr uint32_t code_of(Fn fn, Reason reason) { return (uint32_t(fn) << 16) | reason; }

// A library error: a rejected argument (detail = its 1-based position), a bad
// state or a limit (detail 0 or the value the function documents).
inline void lib_error(Fn fn, Reason reason, uint32_t detail) {
    XSetLastError(code_of(fn, reason), detail, kLibrary);
}

// A system error: detail is the errno (or store status) of the failing call.
inline void sys_error(Fn fn, Reason reason, int err) {
    XSetLastError(code_of(fn, reason), uint32_t(err), kSystem);
}

// Record with an explicit kind, for the few reasons whose kind departs from
// the usual rule (errno recorded as a library error, and the like).
inline void record_error(Fn fn, Reason reason, uint32_t detail, uint32_t kind) {
    XSetLastError(code_of(fn, reason), detail, kind);
}

// A failure that an internal operation hands back instead of recording it:
// the code, detail and kind that the exported function records once (code 0:
// none). Operations that return one leave the thread's error record alone.
struct Status {
    uint32_t code = 0;
    uint32_t detail = 0;
    uint32_t kind = 0;
    bool failed() const { return code != 0; }
};
constexpr Status lib_status(Fn fn, Reason reason, uint32_t detail) {
    return {code_of(fn, reason), detail, kLibrary};
}
constexpr Status sys_status(Fn fn, Reason reason, int err) {
    return {code_of(fn, reason), uint32_t(err), kSystem};
}
// Records a failure at the edge.
inline void record_failure(const Status &s) { XSetLastError(s.code, s.detail, s.kind); }
// The result of an exported function that returns 1 or 0: s recorded when it
// failed, the record left alone when not.
inline int32_t recorded(const Status &s) {
    if (!s.failed()) return 1;
    record_failure(s);
    return 0;
}

// XFreeMemory, handing its failure back.
Status free_block(void *block);

// XReadEnvInt after its result check, handing its failure back.
Status read_env_int(const char *group, const char *name, const char *item, int32_t *result);

// XCompareSwap, handing its failure (NOT_EQUAL when *word was not expected)
// back.
Status compare_swap(volatile uint32_t *word, uint32_t expected, uint32_t replacement);

// XGetVectorTableEx and XResetVectorTable for a name known to be well formed
// (it ends within its first 9 bytes), handing their failure back.
Status vector_get(const char *name, uint32_t values[2]);
Status vector_reset(const char *name);

// XLockObj, also telling (when owner_died is not null) whether the lock was
// had from a holder that died holding it, whose work may be half done.
int32_t lock_object(XHANDLE lock, uint32_t timeout, bool *owner_died);
// The same, handing a failure (results 0 and 2) back in *why.
int32_t lock_object(XHANDLE lock, uint32_t timeout, bool *owner_died, Status *why);
// XCreateLockObj and XDestroyLockObj, handing their failure back.
Status create_lock(int32_t key, XHANDLE *out);
Status destroy_lock(XHANDLE lock);

}  // namespace zax

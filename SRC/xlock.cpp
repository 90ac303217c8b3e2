// xlock: lock objects (private or shared by key across processes) and the
// atomic compare-and-swap of a 32-bit word.
#include <atomic>
#include <cstdio>

#include "os/mutex.h"
#include "os/names.h"
#include "os/sys.h"
#include "xhandle.h"
#include "xint.h"

using namespace zax;

namespace zax {

// The record behind a lock handle. The owner belongs to the record, not to
// the mutex: two records of one key share the mutex, each with its owner.
struct LockRecord {
    HandleHeader header;
    // Kernel thread id of the holder through this record, 0 for none. Only
    // the holder writes it; others may read it without the mutex.
    std::atomic<uint32_t> owner;
    os::Mutex *mutex;
};

}  // namespace zax

extern "C" {

XAPI XHANDLE XCreateLockObj(int32_t key) {
    XHANDLE lock = nullptr;
    Status s = create_lock(key, &lock);
    if (s.failed()) record_failure(s);
    return lock;
}

XAPI int32_t XDestroyLockObj(XHANDLE lock) {
    return recorded(destroy_lock(lock));
}

}  // extern "C"

Status zax::create_lock(int32_t key, XHANDLE *out) {
    // Named objects get their access from their files' mode: no access list
    // is built, so reasons 15 and 16 cannot occur.
    auto *rec = handle_try_new<LockRecord>(HandleKind::lock);
    if (rec == nullptr) return sys_status(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
    int err;
    if (key == -1) {
        err = os::mutex_create(&rec->mutex);
    } else {
        char name[32];
        std::snprintf(name, sizeof name, os::names::kLock, uint32_t(key));
        err = os::no_throw([&] { return os::mutex_open(name, &rec->mutex); });
    }
    if (err != 0) {
        handle_free(rec);
        // The system's errno, recorded as a library error.
        return {code_of(FN_XCreateLockObj, R_XCreateLockObj_CREATE_FAILED), uint32_t(err),
                kLibrary};
    }
    *out = rec;
    return {};
}

Status zax::destroy_lock(XHANDLE lock) {
    auto *rec = handle_as<LockRecord>(lock, HandleKind::lock);
    if (rec == nullptr) return lib_status(FN_XDestroyLockObj, R_XDestroyLockObj_BAD_ARGUMENT, 1);
    int err = os::mutex_close(rec->mutex);
    handle_free(rec);
    if (err != 0) return sys_status(FN_XDestroyLockObj, R_XDestroyLockObj_CLOSE_FAILED, err);
    return {};
}

Status zax::compare_swap(volatile uint32_t *word, uint32_t expected, uint32_t replacement) {
    if (word == nullptr) return lib_status(FN_XCompareSwap, R_XCompareSwap_BAD_ARGUMENT, 1);
    // One locked compare-and-exchange: atomic against other threads and,
    // for a word in shared memory, against other processes.
    if (__atomic_compare_exchange_n(word, &expected, replacement, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        return {};
    return lib_status(FN_XCompareSwap, R_XCompareSwap_NOT_EQUAL, 0);
}

int32_t zax::lock_object(XHANDLE lock, uint32_t timeout, bool *owner_died, Status *why) {
    auto *rec = handle_as<LockRecord>(lock, HandleKind::lock);
    if (rec == nullptr) {
        *why = lib_status(FN_XLockObj, R_XLockObj_BAD_ARGUMENT, 1);
        return 0;
    }
    // An owner that died gave its hold up: that counts as a success.
    if (int err = os::mutex_lock(rec->mutex, timeout, owner_died)) {
        *why = sys_status(FN_XLockObj, R_XLockObj_WAIT_FAILED, err);
        return 2;
    }
    uint32_t self = os::self_tid();
    if (rec->owner.load(std::memory_order_relaxed) == self) {
        // Held already: undo this acquisition only, the first hold stays.
        *why = lib_status(FN_XLockObj, R_XLockObj_ALREADY_HELD, 0);
        (void)os::mutex_unlock(rec->mutex);
        return 0;
    }
    rec->owner.store(self, std::memory_order_relaxed);
    return 1;
}

int32_t zax::lock_object(XHANDLE lock, uint32_t timeout, bool *owner_died) {
    Status why;
    int32_t r = lock_object(lock, timeout, owner_died, &why);
    if (why.failed()) record_failure(why);
    return r;
}

extern "C" {

XAPI int32_t XLockObj(XHANDLE lock, uint32_t timeout) { return lock_object(lock, timeout, nullptr); }

XAPI int32_t XIsLockObj(XHANDLE lock) {
    auto *rec =
        handle_get<LockRecord>(lock, HandleKind::lock, FN_XIsLockObj, R_XIsLockObj_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    // The holder takes its recursive mutex again at once; anyone else is
    // refused without waiting.
    if (os::mutex_lock(rec->mutex, 0) != 0) {
        lib_error(FN_XIsLockObj, R_XIsLockObj_HELD, 0);
        return 0;
    }
    bool mine = rec->owner.load(std::memory_order_relaxed) == os::self_tid();
    (void)os::mutex_unlock(rec->mutex);
    return mine ? 1 : 0;
}

XAPI int32_t XUnlockObj(XHANDLE lock) {
    auto *rec =
        handle_get<LockRecord>(lock, HandleKind::lock, FN_XUnlockObj, R_XUnlockObj_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    const uint32_t self = os::self_tid();
    // Only the holder can have written its own id, so finding it there proves
    // the hold without touching the mutex; anything else takes the full test,
    // which records why the caller cannot release.
    if (rec->owner.load(std::memory_order_relaxed) != self && XIsLockObj(lock) == 0) return 0;
    rec->owner.store(0, std::memory_order_relaxed);
    if (int err = os::mutex_unlock(rec->mutex)) {
        rec->owner.store(self, std::memory_order_relaxed);
        sys_error(FN_XUnlockObj, R_XUnlockObj_RELEASE_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement) {
    return recorded(compare_swap(word, expected, replacement));
}

XAPI int32_t XGlobalCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement) {
    return XCompareSwap(word, expected, replacement);
}

}  // extern "C"

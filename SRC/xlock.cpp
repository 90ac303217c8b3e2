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
    // Named objects get their access from their files' mode: no access list
    // is built, so reasons 15 and 16 cannot occur.
    auto *rec = handle_new<LockRecord>(HandleKind::lock);
    if (rec == nullptr) return nullptr;
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
        record_error(FN_XCreateLockObj, R_XCreateLockObj_CREATE_FAILED, uint32_t(err), kLibrary);
        return nullptr;
    }
    return rec;
}

XAPI int32_t XDestroyLockObj(XHANDLE lock) {
    auto *rec = handle_get<LockRecord>(lock, HandleKind::lock, FN_XDestroyLockObj,
                                       R_XDestroyLockObj_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    int err = os::mutex_close(rec->mutex);
    if (err != 0) sys_error(FN_XDestroyLockObj, R_XDestroyLockObj_CLOSE_FAILED, err);
    handle_free(rec);
    return err == 0 ? 1 : 0;
}

}  // extern "C"

Status zax::compare_swap(volatile uint32_t *word, uint32_t expected, uint32_t replacement) {
    if (word == nullptr) return lib_status(FN_XCompareSwap, R_XCompareSwap_BAD_ARGUMENT, 1);
    // One locked compare-and-exchange: atomic against other threads and,
    // for a word in shared memory, against other processes.
    if (__atomic_compare_exchange_n(word, &expected, replacement, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        return {};
    return lib_status(FN_XCompareSwap, R_XCompareSwap_NOT_EQUAL, 0);
}

int32_t zax::lock_object(XHANDLE lock, uint32_t timeout, bool *owner_died) {
    auto *rec =
        handle_get<LockRecord>(lock, HandleKind::lock, FN_XLockObj, R_XLockObj_BAD_ARGUMENT);
    if (rec == nullptr) return 0;
    // An owner that died gave its hold up: that counts as a success.
    if (int err = os::mutex_lock(rec->mutex, timeout, owner_died)) {
        sys_error(FN_XLockObj, R_XLockObj_WAIT_FAILED, err);
        return 2;
    }
    uint32_t self = os::self_tid();
    if (rec->owner.load(std::memory_order_relaxed) == self) {
        // Held already: undo this acquisition only, the first hold stays.
        lib_error(FN_XLockObj, R_XLockObj_ALREADY_HELD, 0);
        (void)os::mutex_unlock(rec->mutex);
        return 0;
    }
    rec->owner.store(self, std::memory_order_relaxed);
    return 1;
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
    Status s = compare_swap(word, expected, replacement);
    if (s.failed()) record_failure(s);
    return s.failed() ? 0 : 1;
}

XAPI int32_t XGlobalCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement) {
    return XCompareSwap(word, expected, replacement);
}

}  // extern "C"

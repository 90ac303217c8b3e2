// xlistg: global lists, kept whole in the shared segment of their key so that
// every process of the machine can use them. The first process to create a
// key makes the list; later ones attach; the last one to leave frees it.
#include <cstdint>
#include <new>
#include <mutex>

#include "xint.h"
#include "xlist.h"
#include "xlistr.h"
#include "xmemg.h"

using namespace zax;

namespace {

// The machine-wide lock around creating, attaching and leaving global lists:
// XMakeKey(2, "00", 1, 3), a named lock object and so the same in every process.
constexpr int32_t kCreationKey = 0x20100003;
// The segment's second tag byte marks it as a global list's.
constexpr uint32_t kSegmentTag = 0xF1;

std::mutex g_creation_guard;           // makes the creation lock once per process
XHANDLE g_creation_lock = nullptr;     // lives until the process ends

// Takes the creation lock, making it on first use. False when it cannot be
// had: creation then goes on without it, and nothing of that is recorded.
bool take_creation_lock() {
    XHANDLE lock;
    {
        std::lock_guard<std::mutex> guard(g_creation_guard);
        if (g_creation_lock == nullptr) (void)create_lock(kCreationKey, &g_creation_lock);
        lock = g_creation_lock;
    }
    Status why;
    return lock != nullptr && lock_object(lock, X_INFINITE, nullptr, &why) == 1;
}

void release_creation_lock(bool held) {
    if (held) XUnlockObj(g_creation_lock);
}

uint32_t attach_count(GlobalRegion *r) { return __atomic_load_n(&r->h.attach, __ATOMIC_SEQ_CST); }

// The caller's area of a segment holds a list of this capacity when it is a
// list region at all and the segment is large enough for it.
bool region_fits(GlobalRegion *r, uint32_t capacity) {
    const auto *seg = reinterpret_cast<const ShmHeader *>(reinterpret_cast<const char *>(r) -
                                                          sizeof(ShmHeader));
    GlobalGeometry g(capacity);
    return r->h.type == kGlobalType && r->h.capacity == capacity &&
           uint64_t(seg->total) - sizeof(ShmHeader) >= g.region_size;
}

// Leaves the list's segment: the last user frees it (the list and its key are
// gone), anyone else lowers the attach count and closes its view. Under the
// creation lock.
Status detach(ListHandle *h) {
    auto *r = static_cast<GlobalRegion *>(h->region);
    uint32_t n = attach_count(r);
    if (n < 2) {
        if (Status s = free_segment(r, h->segment); s.failed()) return s;
    } else {
        if (Status s = compare_swap(&r->h.attach, n, n - 1); s.failed()) return s;
        os::crash_point("detach: count lowered");
        if (Status s = close_segment(r, h->segment); s.failed()) {
            (void)compare_swap(&r->h.attach, n - 1, n);
            return s;
        }
    }
    h->segment = nullptr;
    h->region = nullptr;
    return {};
}

// Joins h to the live list in the segment just opened: the list must have
// this capacity and tag. On failure the segment is closed again.
bool join(ListHandle *h, void *area, XHANDLE segment, uint32_t capacity, uint32_t tag) {
    auto *r = static_cast<GlobalRegion *>(area);
    uint32_t detail = !region_fits(r, capacity) ? 1 : r->h.tag != tag ? 2 : 0;
    if (detail != 0) {
        XCloseShrMemory(area, segment);
        lib_error(FN_XCreateGlobalList, R_XCreateGlobalList_MISMATCH, detail);
        return false;
    }
    uint32_t n = attach_count(r);
    if (Status s = compare_swap(&r->h.attach, n, n + 1); s.failed()) {
        (void)close_segment(area, segment);
        record_failure(s);
        return false;
    }
    h->segment = segment;
    h->region = area;
    return true;
}

// A segment of a global list whose region never got its type: its creator
// died before the list was complete. Only one who holds the creation lock
// can know that (a creator that is still at work holds it).
bool unfinished(const GlobalRegion *r) {
    const auto *seg = reinterpret_cast<const ShmHeader *>(reinterpret_cast<const char *>(r) -
                                                          sizeof(ShmHeader));
    return seg->tag2 == kSegmentTag && r->h.type == 0;
}

// Attaches h to the list of key, or creates it when the key has no segment.
// Under the creation lock.
bool attach_or_create(ListHandle *h, uint32_t capacity, uint32_t key, uint32_t tag,
                      bool creation_locked) {
    XHANDLE segment = nullptr;
    void *area = X_FAILED_PTR;
    // Not found (or not reachable): the attempt to create tells which.
    (void)open_segment(key, &segment, &area);
    if (area != X_FAILED_PTR && creation_locked && unfinished(static_cast<GlobalRegion *>(area))) {
        // What a dead creator left goes, and the list is made anew.
        if (Status s = free_segment(area, segment); s.failed()) {
            record_failure(s);
            return false;
        }
        area = X_FAILED_PTR;
    }
    if (area != X_FAILED_PTR) return join(h, area, segment, capacity, tag);
    GlobalGeometry g(capacity);
    // A region beyond 4 GiB is refused by the segment allocator as too large.
    uint32_t size = g.region_size > UINT32_MAX ? UINT32_MAX : uint32_t(g.region_size);
    area = XAllocShrMemory(&segment, size, key, tag, kSegmentTag);
    if (area == X_FAILED_PTR) return false;
    os::crash_point("create: segment made");
    auto *r = static_cast<GlobalRegion *>(area);
    // The allocation attaches to a segment of this key that processes still
    // use (a restarted initiator service had lost its key): a live list is
    // joined, never made again over its elements; another kind of segment
    // is refused.
    const auto *seg = reinterpret_cast<const ShmHeader *>(static_cast<const char *>(area) -
                                                          sizeof(ShmHeader));
    if (r->h.type == kGlobalType || seg->tag2 != uint8_t(kSegmentTag))
        return join(h, area, segment, capacity, tag);
    h->segment = segment;
    h->region = area;
    // A load record of an earlier list of the key is no record of this one.
    forget_load_record(key);
    // The segment comes zero-filled: an empty list with an all-free bitmap.
    // The type comes last: a region without it is an unfinished creation.
    r->h.capacity = capacity;
    r->h.tag = tag;
    r->h.total_words = uint32_t(g.words);
    r->h.free_words = uint32_t(g.words);
    r->h.data_offset = uint32_t(sizeof(GlobalRegion) + g.bitmap_bytes);
    os::crash_point("create: header written");
    // An unfinished list has no attachment but its dead creator's.
    if (Status s = compare_swap(&r->h.attach, creation_locked ? attach_count(r) : 0, 1);
        s.failed()) {
        (void)detach(h);
        record_failure(s);
        return false;
    }
    os::crash_point("create: attached");
    r->h.type = kGlobalType;
    return true;
}

// The global forms' results: -2 and 1 pass, anything else is -1.
int32_t t_result(int32_t r) { return r == 1 || r == -2 ? r : -1; }

}  // namespace

extern "C" {

XAPI XHANDLE XCreateGlobalList(uint32_t capacity, uint32_t key, uint32_t tag) {
    if (capacity == 0) {
        lib_error(FN_XCreateGlobalList, R_XCreateGlobalList_BAD_ARGUMENT, 1);
        return nullptr;
    }
    if (key == 0) {
        lib_error(FN_XCreateGlobalList, R_XCreateGlobalList_BAD_ARGUMENT, 2);
        return nullptr;
    }
    // The settings may keep this key's list on a Redis server.
    XHANDLE remote_list;
    if (remote::create(capacity, key, tag, &remote_list)) return remote_list;
    void *block = XAllocMemory(sizeof(ListHandle), tag);
    if (block == X_FAILED_PTR) return nullptr;
    auto *h = new (block) ListHandle{};
    bool held = take_creation_lock();
    bool ok = attach_or_create(h, capacity, key, tag, held);
    os::crash_point("create: attached or made");
    if (ok && (!make_list_lock(h, int32_t(key)) || !handle_list(h))) {
        // The record keeps why the lock or the handle could not be had.
        if (h->lock != nullptr) (void)drop_list_lock(h);
        (void)detach(h);
        ok = false;
    }
    release_creation_lock(held);
    if (!ok) {
        XFreeMemory(h);
        return nullptr;
    }
    return h;
}

XAPI int32_t XDestroyGlobalList(XHANDLE list) {
    ListHandle *h = list_of(list, FN_XDestroyGlobalList);
    if (h == nullptr) return 0;
    if (is_remote(h)) return remote::destroy(h);
    // A local list has no segment to leave: XDestroyList is its end.
    if (h->segment == nullptr) {
        lib_error(FN_XDestroyGlobalList, R_XDestroyGlobalList_BAD_ARGUMENT, 1);
        return 0;
    }
    handle_unlist(h);
    bool held = take_creation_lock();
    Status dropped = drop_list_lock(h);
    if (dropped.failed()) record_failure(dropped);
    bool ok = !dropped.failed();
    os::crash_point("destroy: lock given back");
    if (Status s = detach(h); s.failed()) {
        record_failure(s);
        ok = false;
    }
    os::crash_point("destroy: detached");
    ok = XFreeMemory(h) == 1 && ok;
    release_creation_lock(held);
    return ok ? 1 : 0;
}

XAPI int32_t XAddGlobalListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                             int32_t timeout) {
    return t_result(XAddListT(list, data, size, position, timeout));
}

XAPI int32_t XAddGlobalList(XHANDLE list, const void *data, uint32_t size, int32_t position) {
    return XAddListT(list, data, size, position, -1) == 1 ? 1 : 0;
}

XAPI int32_t XRemoveGlobalListT(XHANDLE list, void *buffer, uint32_t buffer_size,
                                int32_t position, int32_t timeout) {
    return t_result(XRemoveListT(list, buffer, buffer_size, position, timeout));
}

XAPI int32_t XRemoveGlobalList(XHANDLE list, void *buffer, uint32_t buffer_size,
                               int32_t position) {
    return XRemoveListT(list, buffer, buffer_size, position, -1) == 1 ? 1 : 0;
}

XAPI int32_t XPeekGlobalListT(XHANDLE list, void *buffer, uint32_t buffer_size,
                              int32_t position, int32_t timeout) {
    return XPeekListT(list, buffer, buffer_size, position, timeout);
}

XAPI int32_t XPeekGlobalList(XHANDLE list, void *buffer, uint32_t buffer_size,
                             int32_t position) {
    int32_t r = XPeekListT(list, buffer, buffer_size, position, -1);
    return r == -1 || r == -2 ? 0 : r;
}

XAPI int32_t XGetGlobalListNumT(XHANDLE list, int32_t timeout) {
    return XGetListNumT(list, timeout);
}

XAPI int32_t XGetGlobalListNum(XHANDLE list) {
    int32_t r = XGetListNumT(list, -1);
    return r == -2 ? -1 : r;
}

XAPI int32_t XSaveGlobalListT(XHANDLE list, const char *name, int32_t timeout) {
    return t_result(XSaveListT(list, name, timeout));
}

XAPI int32_t XSaveGlobalList(XHANDLE list, const char *name) {
    return XSaveListT(list, name, -1) == 1 ? 1 : 0;
}

XAPI int32_t XLoadGlobalListT(XHANDLE list, const char *name, int32_t timeout) {
    return t_result(XLoadListT(list, name, timeout));
}

XAPI int32_t XLoadGlobalList(XHANDLE list, const char *name) {
    return XLoadListT(list, name, -1) == 1 ? 1 : 0;
}

}  // extern "C"

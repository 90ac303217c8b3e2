// Lists: the representation that local and global lists share, and the
// chain operations both kinds run on it.
//
// A list handle points at a list region. A global region lives in a shared
// segment that every process maps at its own address, so its links are
// offsets from the region's start and its layout is fixed to the byte. A
// local region and its elements live in this process's heap and link by
// address; their counters stay those of the fixed layout, each element
// counting its data size + 12 whatever its header really takes.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "os/crash.h"
#include "xhandle.h"
#include "xint.h"

namespace zax {

// The handle a list's creator gets (pointer-sized fields, zero-filled).
struct ListHandle {
    XHANDLE lock;     // the list lock (a lock object)
    XHANDLE segment;  // the shared segment of a global list; null for a local one
    void *region;     // the list region
    // The thread that holds the list lock through this handle, 0 for none:
    // what XIsLockObj would answer, known without touching the mutex. Written
    // only by the holder, under the lock.
    std::atomic<uint32_t> owner;
};

constexpr uint32_t kGlobalType = 71;  // "G"
constexpr uint32_t kLocalType = 76;   // "L"
// A global list kept on a Redis server (xlistr): its region is a record of
// this process, and the list operations hand the handle to xlistr.
constexpr uint32_t kRemoteType = 82;  // "R"
// What each element counts against a capacity, beside its data.
constexpr uint32_t kElementOverhead = 12;

// The first 48 bytes of every region: fixed fields in the machine's order.
struct RegionHeader {
    uint32_t reserved0;
    uint32_t type;         // kGlobalType or kLocalType
    uint32_t reserved8;
    uint32_t tag;          // memory tag of every allocation for the list
    uint32_t count;        // elements
    uint32_t capacity;     // bytes; 0 = no limit (local lists only)
    uint32_t used;         // sum of data size + 12
    uint32_t total_words;  // words of the data area (global)
    uint32_t free_words;   // of which free (global)
    uint32_t attach;       // handles open on a global list, machine-wide
    uint32_t depth;        // holds of the list lock by its current owner
    uint32_t data_offset;  // data area from the region's start (global)
};

// An element of a global list: a run of words in the data area.
struct GlobalElem {
    uint32_t next;  // offset from the region's start toward the last; 0 = none
    uint32_t prev;  // toward the first
    uint32_t size;  // data bytes, at least 1
};

// A global region: the header, the bitmap, then the data area.
struct GlobalRegion {
    RegionHeader h;
    uint32_t first;  // offsets, 0 = none
    uint32_t last;
};

// An element of a local list: a heap block of its own.
struct LocalElem {
    LocalElem *next;
    LocalElem *prev;
    uint32_t size;
};

// A local region: the header with links as addresses.
struct LocalRegion {
    RegionHeader h;
    LocalElem *first;
    LocalElem *last;
};

static_assert(sizeof(RegionHeader) == 48, "region header is 48 bytes");
static_assert(sizeof(GlobalRegion) == 56, "a global region header is 56 bytes");
static_assert(offsetof(RegionHeader, type) == 4 && offsetof(RegionHeader, tag) == 12 &&
                  offsetof(RegionHeader, count) == 16 && offsetof(RegionHeader, capacity) == 20 &&
                  offsetof(RegionHeader, used) == 24 && offsetof(RegionHeader, total_words) == 28 &&
                  offsetof(RegionHeader, free_words) == 32 && offsetof(RegionHeader, attach) == 36 &&
                  offsetof(RegionHeader, depth) == 40 && offsetof(RegionHeader, data_offset) == 44,
              "region header layout");
static_assert(offsetof(GlobalRegion, first) == 48 && offsetof(GlobalRegion, last) == 52,
              "global region links");
static_assert(sizeof(GlobalElem) == 12 && offsetof(GlobalElem, prev) == 4 &&
                  offsetof(GlobalElem, size) == 8,
              "global element header");

// Where an element's data starts.
constexpr size_t kGlobalDataOffset = sizeof(GlobalElem);
constexpr size_t kLocalDataOffset = offsetof(LocalElem, size) + sizeof(uint32_t);

// Geometry of a global region for a capacity of K bytes.
struct GlobalGeometry {
    uint64_t words;         // W = ceil(K / 4)
    uint64_t bitmap_bytes;  // ceil(W / 8), raised to a multiple of 4
    uint64_t region_size;   // 56 + bitmap + 4 W
    explicit constexpr GlobalGeometry(uint32_t capacity)
        : words((uint64_t(capacity) + 3) / 4),
          bitmap_bytes(((words + 7) / 8 + 3) / 4 * 4),
          region_size(sizeof(GlobalRegion) + bitmap_bytes + 4 * words) {}
};
static_assert(GlobalGeometry(100).words == 25 && GlobalGeometry(100).bitmap_bytes == 4 &&
              GlobalGeometry(100).region_size == 160);

// Words a global element of size data bytes occupies.
constexpr uint64_t element_words(uint64_t size) { return (size + kElementOverhead + 3) / 4; }

// Storage for a local element whose every byte the caller writes (header and
// data): a heap block as from XAllocMemory, without its zero fill. Null with
// XAllocMemory's error recorded.
void *local_element_alloc(uint32_t size);
// Gives a local element's storage back, as X_free_list does (1, or 0 with
// its error recorded for storage that is not a live heap block).
int32_t local_element_free(void *element);

// Chain access for each kind of region: how a link resolves to an element
// and back. A global link is checked against the data area, so that a
// damaged region is never followed outside the segment.
struct GlobalKind {
    using Region = GlobalRegion;
    using Elem = GlobalElem;
    using Link = uint32_t;
    static constexpr size_t kData = kGlobalDataOffset;
    static Elem *at(Region *r, Link link) {
        if (link == 0) return nullptr;
        uint64_t end = uint64_t(r->h.data_offset) + 4 * uint64_t(r->h.total_words);
        if (link < r->h.data_offset || uint64_t(link) + sizeof(Elem) > end || link % 4 != 0)
            return nullptr;
        return reinterpret_cast<Elem *>(reinterpret_cast<char *>(r) + link);
    }
    static Link link(Region *r, Elem *e) {
        return e ? uint32_t(reinterpret_cast<char *>(e) - reinterpret_cast<char *>(r)) : 0;
    }
    // Data bytes of e that lie inside the region (all of them in a sound one).
    static uint32_t readable(Region *r, Elem *e) {
        uint64_t end = uint64_t(r->h.data_offset) + 4 * uint64_t(r->h.total_words);
        uint64_t start = uint64_t(link(r, e)) + kData;
        uint64_t room = end > start ? end - start : 0;
        return e->size < room ? e->size : uint32_t(room);
    }
    static Elem *alloc(Region *r, uint32_t size) {
        return static_cast<Elem *>(X_alloc_list(r, size, 0));
    }
    static int32_t free(Region *r, Elem *e) { return X_free_list(r, e); }
};

struct LocalKind {
    using Region = LocalRegion;
    using Elem = LocalElem;
    using Link = LocalElem *;
    static constexpr size_t kData = kLocalDataOffset;
    static Elem *at(Region *, Link link) { return link; }
    static Link link(Region *, Elem *e) { return e; }
    static uint32_t readable(Region *, Elem *e) { return e->size; }
    static Elem *alloc(Region *, uint32_t size) {
        return static_cast<Elem *>(local_element_alloc(size));
    }
    static int32_t free(Region *, Elem *e) { return local_element_free(e); }
};

template <class K> unsigned char *data_of(typename K::Elem *e) {
    return reinterpret_cast<unsigned char *>(e) + K::kData;
}

// The element at 0-based index i, walking from the nearer end; null when
// there is none.
template <class K> typename K::Elem *find_element(typename K::Region *r, uint32_t i) {
    uint32_t count = r->h.count;
    if (i >= count) return nullptr;
    typename K::Elem *e;
    if (i <= count / 2) {
        e = K::at(r, r->first);
        for (uint32_t n = 0; n < i && e != nullptr; ++n) e = K::at(r, e->next);
    } else {
        e = K::at(r, r->last);
        for (uint32_t n = 0; n < count - 1 - i && e != nullptr; ++n) e = K::at(r, e->prev);
    }
    return e;
}

// Link e in so that it becomes index i (0 <= i <= count); the counters are
// the caller's. The element's own links are set first; then the one forward
// link that puts it on the chain (first, or its predecessor's next), which
// decides whether a holder that dies here added it; then the back link
// (last, or its successor's prev), which the next holder can derive again.
template <class K> void link_element(typename K::Region *r, typename K::Elem *e, uint32_t i) {
    using Elem = typename K::Elem;
    using Link = typename K::Link;
    const Link self = K::link(r, e);
    uint32_t count = r->h.count;
    Elem *before = nullptr, *after = nullptr;  // none in an empty list
    if (count > 0 && i == 0) {
        after = K::at(r, r->first);
    } else if (count > 0 && i >= count) {
        before = K::at(r, r->last);
    } else if (count > 0) {
        after = find_element<K>(r, i);
        before = after ? K::at(r, after->prev) : nullptr;
    }
    e->next = after ? K::link(r, after) : Link{};
    e->prev = before ? K::link(r, before) : Link{};
    os::crash_point("link: element ready");
    (before ? before->next : r->first) = self;
    os::crash_point("link: on the chain");
    (after ? after->prev : r->last) = self;
}

// Close the gap of an element whose links were next and prev: the forward
// link first (after it the element is off the chain), then the back link.
template <class K>
void close_gap(typename K::Region *r, typename K::Link next, typename K::Link prev) {
    typename K::Elem *n = K::at(r, next);
    typename K::Elem *p = K::at(r, prev);
    (p ? p->next : r->first) = n ? next : typename K::Link{};
    os::crash_point("unlink: off the chain");
    (n ? n->prev : r->last) = p ? prev : typename K::Link{};
}

// The reason of every list function for a handle that names no list.
constexpr Reason kBadListHandle = same_reason(
    R_XDestroyList_BAD_ARGUMENT, R_XDestroyGlobalList_BAD_ARGUMENT, R_XAddListT_BAD_ARGUMENT,
    R_XRemoveListT_BAD_ARGUMENT, R_XPeekListT_BAD_ARGUMENT, R_XGetListNumT_BAD_ARGUMENT,
    R_XSaveListT_BAD_ARGUMENT, R_XLoadListT_BAD_ARGUMENT, R_XCreateLockObj_BAD_ARGUMENT,
    R_XDestroyLockObj_BAD_ARGUMENT, R_XLockObj_BAD_ARGUMENT, R_XUnlockObj_BAD_ARGUMENT);

// Checks a handle for the list operations: a live list of any kind (the
// table of live handles knows them all). Records kBadListHandle, detail 1,
// under fn when not.
inline ListHandle *list_of(XHANDLE handle, Fn fn) {
    if (!handle_listed(handle)) [[unlikely]] {
        lib_error(fn, kBadListHandle, 1);
        return nullptr;
    }
    return static_cast<ListHandle *>(handle);
}

// The list lock of a list being made (key as XCreateLockObj takes it): 1, or
// 0 with the lock object's error. Its end when the list goes, handing a
// failure back.
int32_t make_list_lock(ListHandle *h, int32_t key);
Status drop_list_lock(ListHandle *h);

// Frees a local chain's elements from first on, handing back the last
// failure of a free.
Status free_chain(LocalElem *first);
// Ends a local list that no other thread has seen (the scratch list of a
// call): its elements, lock, region and handle; the last failure comes back.
Status discard_local_list(ListHandle *h);

inline RegionHeader *header_of(ListHandle *h) { return static_cast<RegionHeader *>(h->region); }
inline bool is_remote(ListHandle *h) { return header_of(h)->type == kRemoteType; }

// Bytes of the region that a copy must take to restore the list: the whole
// region of a global list, the header of a local one.
inline size_t region_bytes(const RegionHeader *hdr) {
    if (hdr->type == kGlobalType) return size_t(hdr->data_offset) + 4 * size_t(hdr->total_words);
    return sizeof(LocalRegion);
}

// Whether an element of size data bytes fits the list's capacity and its
// 32-bit bytes-used counter (which bounds a list without a capacity);
// records the add's NO_ROOM reason when not.
inline bool capacity_for(const RegionHeader *h, uint32_t size) {
    uint64_t need = uint64_t(size) + kElementOverhead;
    if ((h->capacity != 0 && int64_t(h->capacity) - int64_t(h->used) < int64_t(need)) ||
        uint64_t(h->used) + need > UINT32_MAX) {
        lib_error(FN_XAddListT, R_XAddListT_NO_ROOM, 0);
        return false;
    }
    return true;
}

// Appends an element to a region of either kind, as an add at -1 does (the
// caller holds the list or owns the region alone). 1, or -1 with the add's
// error recorded.
int32_t append_to_region(void *region, const void *data, uint32_t size);
// Whether an append of size data bytes would find its room (capacity and
// storage), without taking it; records the reason the append would fail
// with when not (a failure of the heap itself is not foreseen).
bool room_in_region(void *region, uint32_t size);

// Puts a list that a holder of its lock left half changed (it died inside an
// operation) in order again: a load that had recorded its new content is
// finished; then everything that follows from the forward chain (back links,
// last element, count, bytes used, and for a global list the bitmap, free
// words and the zero fill of free words) is made again from it, the chain
// ending at the first link that cannot be followed. The caller holds the
// list lock.
void repair_list(ListHandle *h);

// Removes the load record of a global list's key (see xlistuty): one left by
// an earlier list of the key must not reach a list created anew.
void forget_load_record(uint32_t key);

// Whether the list region keeps its invariants: the count of elements on the
// chain from the first by the next links and from the last by the previous
// ones, bytes used, and for a global list the bitmap, the free words and the
// zero fill. For tests and checks; the caller holds the list lock. why (when
// not null) gets the first broken invariant.
bool list_sound(ListHandle *h, const char **why = nullptr);

// Takes the list lock for an operation, waiting at most timeout ms (-1 without
// limit); reentrant for its owner. 1 held, -2 timed out, -1 failed.
int32_t lock_list(ListHandle *h, int32_t timeout);
// Gives one hold back; 1, or 0 when the calling thread does not hold it.
int32_t unlock_list(ListHandle *h);

// Holds the list lock for a scope once taken.
class ListLock {
public:
    explicit ListLock(ListHandle *h, int32_t timeout) : h_(h), result_(lock_list(h, timeout)) {}
    ~ListLock() {
        if (result_ == 1) unlock_list(h_);
    }
    ListLock(const ListLock &) = delete;
    ListLock &operator=(const ListLock &) = delete;
    // 1 held, -2 timed out, -1 failed.
    int32_t result() const { return result_; }

private:
    ListHandle *h_;
    int32_t result_;
};

}  // namespace zax

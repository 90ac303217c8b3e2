// xlistuty: the machinery that local and global lists share: the nestable
// list lock, element storage (heap blocks, or words of a global region found
// through its bitmap), and saving a list to a file and loading it back.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "os/heap.h"
#include "os/mutex.h"
#include "xint.h"
#include "xlist.h"
#include "xlistr.h"

using namespace zax;

namespace {

// The heap block of a local element of size data bytes; a block beyond what
// the 32-bit heap interface can ask for is negative, which XAllocMemory
// refuses.
int32_t local_block_size(uint32_t size) {
    uint64_t total = uint64_t(kLocalDataOffset) + size;
    return total > INT32_MAX ? -1 : int32_t(total);
}

}  // namespace

namespace zax {

int32_t lock_list(ListHandle *h, int32_t timeout) {
    RegionHeader *hdr = header_of(h);
    uint32_t self = os::self_tid();
    if (h->owner.load(std::memory_order_relaxed) == self) {
        ++hdr->depth;
        return 1;
    }
    int32_t r = XLockObj(h->lock, uint32_t(timeout));
    if (r == 1) {
        h->owner.store(self, std::memory_order_relaxed);
        hdr->depth = 1;
        return 1;
    }
    return r == 2 ? -2 : -1;
}

int32_t unlock_list(ListHandle *h) {
    // Not the holder: the lock object tells why (held elsewhere, or free).
    if (h->owner.load(std::memory_order_relaxed) != os::self_tid()) return XUnlockObj(h->lock);
    RegionHeader *hdr = header_of(h);
    if (hdr->depth > 1) {
        --hdr->depth;
        return 1;
    }
    hdr->depth = 0;
    h->owner.store(0, std::memory_order_relaxed);
    if (XUnlockObj(h->lock) != 1) {
        h->owner.store(os::self_tid(), std::memory_order_relaxed);
        hdr->depth = 1;
        return 0;
    }
    return 1;
}

void *local_element_alloc(uint32_t size) {
    int32_t total = local_block_size(size);
    void *block = total > 0 ? os::heap_alloc_unfilled(size_t(total)) : nullptr;
    if (block == nullptr) sys_error(FN_XAllocMemory, 2, ENOMEM);
    return block;
}

}  // namespace zax

namespace {

uint8_t *bitmap_of(GlobalRegion *r) { return reinterpret_cast<uint8_t *>(r) + sizeof(GlobalRegion); }
uint8_t *data_area_of(GlobalRegion *r) { return reinterpret_cast<uint8_t *>(r) + r->h.data_offset; }

// Bit of word i: bit (7 - i mod 8) of byte i / 8, the most significant first.
bool word_used(const uint8_t *bm, uint64_t i) { return (bm[i / 8] & (0x80u >> (i % 8))) != 0; }

// Set or clear the bits of words [start, start + n).
void mark_words(uint8_t *bm, uint64_t start, uint64_t n, bool used) {
    uint64_t i = start, end = start + n;
    while (i < end && i % 8 != 0) {
        uint8_t bit = uint8_t(0x80u >> (i % 8));
        bm[i / 8] = used ? uint8_t(bm[i / 8] | bit) : uint8_t(bm[i / 8] & ~bit);
        ++i;
    }
    if (end - i >= 8) {
        std::memset(bm + i / 8, used ? 0xFF : 0x00, (end - i) / 8);
        i += (end - i) / 8 * 8;
    }
    while (i < end) {
        uint8_t bit = uint8_t(0x80u >> (i % 8));
        bm[i / 8] = used ? uint8_t(bm[i / 8] | bit) : uint8_t(bm[i / 8] & ~bit);
        ++i;
    }
}

// Whether the words [start, start + n) are all marked used.
bool all_marked(const uint8_t *bm, uint64_t start, uint64_t n) {
    uint64_t i = start, end = start + n;
    for (; i < end && i % 8 != 0; ++i)
        if (!word_used(bm, i)) return false;
    for (; end - i >= 64; i += 64) {
        uint64_t v;
        std::memcpy(&v, bm + i / 8, 8);
        if (v != ~uint64_t(0)) return false;
    }
    for (; end - i >= 8; i += 8)
        if (bm[i / 8] != 0xFF) return false;
    for (; i < end; ++i)
        if (!word_used(bm, i)) return false;
    return true;
}

// Up to 64 bitmap bits from chunk c (words 64c to 64c + 63) with word 64c in
// the most significant bit; only the bytes of words below `words` are read.
uint64_t chunk_bits(const uint8_t *bm, uint64_t c, uint64_t words) {
    uint64_t avail = words - 64 * c;
    if (avail >= 64) {
        uint64_t v;
        std::memcpy(&v, bm + 8 * c, 8);
        return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
    }
    size_t bytes = size_t((avail + 7) / 8);
    uint64_t v = 0;
    for (size_t k = 0; k < bytes; ++k) v |= uint64_t(bm[8 * c + k]) << (56 - 8 * k);
    return v;
}

bool all_used(const uint8_t *bm, uint64_t c) {
    uint64_t v;
    std::memcpy(&v, bm + 8 * c, 8);
    return v == ~uint64_t(0);
}

// First fit over the bitmap: the first run of n free words within the data
// area. The scan takes 64 words at a time and passes each stretch of equal
// bits in one step (counting leading zeros or ones), so that whole groups and
// bytes that are all free or all used cost no more than a single bit; long
// used stretches go four chunks at a time. Returns the run's first word or -1.
int64_t first_fit(const uint8_t *bm, uint64_t words, uint64_t n) {
    uint64_t start = 0, run = 0;
    for (uint64_t c = 0; 64 * c < words;) {
        if (run == 0 && words - 64 * c >= 256 && all_used(bm, c) && all_used(bm, c + 1) &&
            all_used(bm, c + 2) && all_used(bm, c + 3)) {
            c += 4;
            continue;
        }
        uint64_t valid = words - 64 * c < 64 ? words - 64 * c : 64;
        uint64_t v = chunk_bits(bm, c, words);
        for (uint64_t p = 0; p < valid;) {
            uint64_t rest = v << p;  // p < 64
            uint64_t len;
            if (rest >> 63) {
                len = ~rest == 0 ? 64 - p : uint64_t(__builtin_clzll(~rest));
                run = 0;
            } else {
                len = rest == 0 ? 64 - p : uint64_t(__builtin_clzll(rest));
                if (len > valid - p) len = valid - p;
                if (run == 0) start = 64 * c + p;
                run += len;
                if (run >= n) return int64_t(start);
            }
            p += len;
        }
        ++c;
    }
    return -1;
}

void *global_alloc(GlobalRegion *r, uint32_t size) {
    uint64_t n = element_words(size);
    if (n > r->h.free_words) {
        lib_error(FN_X_alloc_list, 2, 0);
        return nullptr;
    }
    int64_t start = first_fit(bitmap_of(r), r->h.total_words, n);
    if (start < 0) {
        lib_error(FN_X_alloc_list, 3, 0);
        return nullptr;
    }
    mark_words(bitmap_of(r), uint64_t(start), n, true);
    r->h.free_words -= uint32_t(n);
    return data_area_of(r) + 4 * uint64_t(start);
}

// Frees a global element: its words are cleared in the bitmap and zeroed, so
// that the next element there starts with empty links. An address that is not
// an allocated element of this region is refused.
bool global_free(GlobalRegion *r, void *element) {
    uint8_t *p = static_cast<uint8_t *>(element);
    uint8_t *data = data_area_of(r);
    uint64_t words = r->h.total_words;
    if (p < data || (p - data) % 4 != 0 || uint64_t(p - data) / 4 + 3 > words) {
        lib_error(FN_X_alloc_list, 1, 2);
        return false;
    }
    uint64_t index = uint64_t(p - data) / 4;
    uint64_t n = element_words(static_cast<GlobalElem *>(element)->size);
    if (n > words - index || !all_marked(bitmap_of(r), index, n)) {
        lib_error(FN_X_alloc_list, 1, 2);
        return false;
    }
    mark_words(bitmap_of(r), index, n, false);
    std::memset(p, 0, 4 * n);
    r->h.free_words += uint32_t(n);
    return true;
}

RegionHeader *region_of(void *region) {
    auto *hdr = static_cast<RegionHeader *>(region);
    if (hdr == nullptr || (hdr->type != kGlobalType && hdr->type != kLocalType)) return nullptr;
    return hdr;
}

// ---------------------------------------------------------------------------
// Saved-list files: little-endian 32-bit integers, whatever the machine.

void put_le32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t get_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Collects small writes into one system call; data larger than the buffer
// goes straight to the file. The first failed write ends all writing.
class FileWriter {
public:
    explicit FileWriter(XFILE f) : f_(f) {}
    bool put(const void *data, uint32_t n) {
        if (!ok_) return false;
        if (n > sizeof buf_ - used_ && !flush()) return false;
        if (n > sizeof buf_) return ok_ = write(data, n);
        std::memcpy(buf_ + used_, data, n);
        used_ += n;
        return true;
    }
    bool put32(uint32_t v) {
        uint8_t b[4];
        put_le32(b, v);
        return put(b, 4);
    }
    bool flush() {
        if (!ok_ || used_ == 0) return ok_;
        ok_ = write(buf_, used_);
        used_ = 0;
        return ok_;
    }

private:
    bool write(const void *data, uint32_t n) {
        const uint8_t *p = static_cast<const uint8_t *>(data);
        while (n > 0) {
            uint32_t part = n > 0x40000000u ? 0x40000000u : n;
            int32_t put = XWriteFile(f_, p, part);
            if (put <= 0) return false;
            p += put;
            n -= uint32_t(put);
        }
        return true;
    }
    XFILE f_;
    bool ok_ = true;
    uint32_t used_ = 0;
    uint8_t buf_[8192];
};

template <class K> bool save_elements(typename K::Region *r, FileWriter &w) {
    uint32_t n = r->h.count;
    typename K::Elem *e = K::at(r, r->first);
    for (uint32_t i = 0; i < n; ++i) {
        // A chain shorter than the count, or an element reaching past the
        // region, would write a file that cannot be loaded.
        if (e == nullptr || K::readable(r, e) < e->size) {
            lib_error(FN_XSaveListT, 3, 0);
            return false;
        }
        if (!w.put32(e->size) || !w.put(data_of<K>(e), e->size)) return false;
        e = K::at(r, e->next);
    }
    return w.flush();
}

// Reads up to n bytes, as many reads as it takes; the count read (short only
// at the end of the file, with XReadFile's reason 1 recorded) or -1.
int64_t read_full(XFILE f, uint8_t *p, uint32_t n) {
    uint64_t got = 0;
    while (got < n) {
        int32_t r = XReadFile(f, p + got, uint32_t(n - got));
        if (r < 0) return -1;
        if (r == 0) break;
        got += uint32_t(r);
    }
    return int64_t(got);
}

// Unlocks and closes a file the list functions opened. The outcome of a save
// or load is that of its writes and reads: what the close records is dropped.
void close_file(XFILE f) {
    SavedError before;
    XUnlockFile(f);
    XCloseFile(f);
    before.restore();
}

template <class K> void free_chain(typename K::Region *r, typename K::Link first) {
    typename K::Elem *e = K::at(r, first);
    while (e != nullptr) {
        typename K::Elem *next = K::at(r, e->next);
        X_free_list(r, e);
        e = next;
    }
}

// The elements of a loaded file, appended to the emptied list through the
// list operations themselves (this thread holds the list lock).
bool load_records(ListHandle *h, XFILE f) {
    RegionHeader *hdr = header_of(h);
    uint8_t head[8];
    int64_t got = read_full(f, head, 8);
    if (got < 8) return false;  // XReadFile's short read (or failure) is recorded
    uint32_t payload = get_le32(head), count = get_le32(head + 4);
    if (hdr->capacity != 0 && hdr->capacity < payload) {
        lib_error(FN_XLoadListT, 2, 0);
        return false;
    }
    if (payload == 0 || count == 0) return true;
    // A payload beyond 2 GiB cannot be had from the heap (XAllocMemory refuses it).
    void *block = XAllocMemory(payload > INT32_MAX ? -1 : int32_t(payload), hdr->tag);
    if (block == X_FAILED_PTR) return false;
    auto *buf = static_cast<uint8_t *>(block);
    bool ok = true;
    got = read_full(f, buf, payload);
    // Bytes the file does not hold read as zero; a short payload fails the
    // load even when its zeros happen to form valid records.
    SavedError short_read;
    if (got < 0) ok = false;
    uint64_t pos = 0;
    for (uint32_t i = 0; ok && i < count; ++i) {
        if (payload - pos < 4) {
            lib_error(FN_XLoadListT, 3, i + 1);
            ok = false;
            break;
        }
        uint32_t size = get_le32(buf + pos);
        pos += 4;
        if (size > payload - pos) {
            lib_error(FN_XLoadListT, 3, i + 1);
            ok = false;
            break;
        }
        if (XAddList(h, buf + pos, size, -1) != 1) ok = false;
        pos += size;
    }
    if (ok && got < int64_t(payload)) {
        short_read.restore();
        ok = false;
    }
    XFreeMemory(buf);
    return ok;
}

int32_t save_list(ListHandle *h, const char *name, int32_t timeout) {
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    SavedError before;
    bool exists = XExistFile(name) == 1;
    if (!exists) before.restore();  // absence only picks the way of opening
    XFILE f = XOpenFile(name, 0,
                        exists ? (X_OPEN_READWRITE | X_OPEN_LOCK | X_OPEN_TRUNCATE)
                               : (X_OPEN_READWRITE | X_OPEN_LOCK | X_OPEN_CREATE));
    if (f == 0) return -1;
    RegionHeader *hdr = header_of(h);
    // Each element counts data + 12 in the region and data + 4 in the file.
    uint32_t n = hdr->count;
    uint32_t payload = hdr->used - 8 * n;
    FileWriter w(f);
    bool ok = w.put32(payload) && w.put32(n);
    if (ok) {
        ok = hdr->type == kGlobalType
                 ? save_elements<GlobalKind>(static_cast<GlobalRegion *>(h->region), w)
                 : save_elements<LocalKind>(static_cast<LocalRegion *>(h->region), w);
    }
    close_file(f);
    return ok ? 1 : -1;
}

int32_t load_list(ListHandle *h, const char *name, int32_t timeout) {
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    XFILE f = XOpenFile(name, 0, X_OPEN_READ | X_OPEN_LOCK);
    if (f == 0) return -1;
    RegionHeader *hdr = header_of(h);
    const bool global = hdr->type == kGlobalType;
    // The copy that puts the list back if the load fails: the handle, and the
    // region (a global one whole, with bitmap and data area).
    size_t bytes = region_bytes(hdr);
    uint64_t copy_size = sizeof(ListHandle) + uint64_t(bytes);
    void *copy = XAllocMemory(copy_size > INT32_MAX ? -1 : int32_t(copy_size), hdr->tag);
    if (copy == X_FAILED_PTR) {
        close_file(f);
        return -1;
    }
    auto *saved_handle = new (copy) ListHandle{};
    auto *saved_region = reinterpret_cast<uint8_t *>(saved_handle + 1);
    saved_handle->lock = h->lock;
    saved_handle->segment = h->segment;
    saved_handle->region = h->region;
    std::memcpy(saved_region, h->region, bytes);

    // Empty the list in place. A local list's old elements stay allocated:
    // the copy still reaches them.
    hdr->count = 0;
    hdr->used = 0;
    hdr->free_words = hdr->total_words;
    if (global) {
        auto *r = static_cast<GlobalRegion *>(h->region);
        r->first = r->last = 0;
        std::memset(bitmap_of(r), 0, bytes - sizeof(GlobalRegion));
    } else {
        auto *r = static_cast<LocalRegion *>(h->region);
        r->first = r->last = nullptr;
    }

    bool ok = load_records(h, f);
    if (ok) {
        if (!global) {
            auto *old = reinterpret_cast<LocalRegion *>(saved_region);
            free_chain<LocalKind>(old, old->first);
        }
    } else {
        SavedError failure;
        if (!global) {
            auto *r = static_cast<LocalRegion *>(h->region);
            free_chain<LocalKind>(r, r->first);
        }
        // Everything goes back but the attach count, which other processes
        // change under the creation lock, not under this one.
        h->lock = saved_handle->lock;
        h->segment = saved_handle->segment;
        h->region = saved_handle->region;
        constexpr size_t kAttach = offsetof(RegionHeader, attach);
        constexpr size_t kAfter = kAttach + sizeof(uint32_t);
        std::memcpy(h->region, saved_region, kAttach);
        std::memcpy(static_cast<uint8_t *>(h->region) + kAfter, saved_region + kAfter,
                    bytes - kAfter);
        failure.restore();
    }
    XFreeMemory(copy);
    close_file(f);
    return ok ? 1 : -1;
}

}  // namespace

extern "C" {

XAPI int32_t X_create_list_lock(XHANDLE list, int32_t key) {
    auto *h = static_cast<ListHandle *>(list);
    if (h == nullptr) {
        lib_error(FN_XCreateLockObj, 1, 1);
        return 0;
    }
    XHANDLE lock = XCreateLockObj(key);
    if (lock == nullptr) return 0;
    h->lock = lock;
    return 1;
}

XAPI int32_t X_destroy_list_lock(XHANDLE list) {
    auto *h = static_cast<ListHandle *>(list);
    if (h == nullptr) return XDestroyLockObj(nullptr);  // records the missing lock
    int32_t r = XDestroyLockObj(h->lock);
    h->lock = nullptr;
    h->owner.store(0, std::memory_order_relaxed);
    return r;
}

XAPI int32_t X_lock_list(XHANDLE list) {
    auto *h = static_cast<ListHandle *>(list);
    if (h != nullptr && h->region != nullptr && is_remote(h)) return remote::lock(h);
    if (h == nullptr || h->region == nullptr || h->lock == nullptr) {
        lib_error(FN_XLockObj, 1, 1);
        return 0;
    }
    return lock_list(h, -1) == 1 ? 1 : 0;
}

XAPI int32_t X_unlock_list(XHANDLE list) {
    auto *h = static_cast<ListHandle *>(list);
    if (h != nullptr && h->region != nullptr && is_remote(h)) return remote::unlock(h);
    if (h == nullptr || h->region == nullptr || h->lock == nullptr) {
        lib_error(FN_XUnlockObj, 1, 1);
        return 0;
    }
    return unlock_list(h);
}

XAPI void *X_alloc_list(void *region, uint32_t size, uint32_t /*flags: not used*/) {
    RegionHeader *hdr = region_of(region);
    if (hdr == nullptr) {
        lib_error(FN_X_alloc_list, 1, 1);
        return nullptr;
    }
    if (hdr->type == kGlobalType) return global_alloc(static_cast<GlobalRegion *>(region), size);
    int32_t total = local_block_size(size);
    void *block = XAllocMemory(total, hdr->tag);
    return block == X_FAILED_PTR ? nullptr : block;
}

XAPI int32_t X_free_list(void *region, void *element) {
    RegionHeader *hdr = region_of(region);
    if (hdr == nullptr) {
        lib_error(FN_X_alloc_list, 1, 1);
        return 0;
    }
    if (element == nullptr) {
        lib_error(FN_X_alloc_list, 1, 2);
        return 0;
    }
    if (hdr->type == kGlobalType) return global_free(static_cast<GlobalRegion *>(region), element);
    return XFreeMemory(element);
}

XAPI int32_t XSaveListT(XHANDLE list, const char *name, int32_t timeout) {
    ListHandle *h = list_of(list, FN_XSaveListT);
    if (h == nullptr) return -1;
    if (name == nullptr) {
        lib_error(FN_XSaveListT, 1, 2);
        return -1;
    }
    if (is_remote(h)) return remote::save(h, name, timeout);
    return save_list(h, name, timeout);
}

XAPI int32_t XSaveList(XHANDLE list, const char *name) {
    return XSaveListT(list, name, -1) == 1 ? 1 : 0;
}

XAPI int32_t XLoadListT(XHANDLE list, const char *name, int32_t timeout) {
    ListHandle *h = list_of(list, FN_XLoadListT);
    if (h == nullptr) return -1;
    if (name == nullptr) {
        lib_error(FN_XLoadListT, 1, 2);
        return -1;
    }
    if (is_remote(h)) return remote::load(h, name, timeout);
    return load_list(h, name, timeout);
}

XAPI int32_t XLoadList(XHANDLE list, const char *name) {
    return XLoadListT(list, name, -1) == 1 ? 1 : 0;
}

}  // extern "C"

// xlistuty: the machinery that local and global lists share: the nestable
// list lock, element storage (heap blocks, or words of a global region found
// through its bitmap), and saving a list to a file and loading it back.
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "os/file.h"
#include "os/heap.h"
#include "os/mmap.h"
#include "os/mutex.h"
#include "os/names.h"
#include "xfile.h"
#include "xint.h"
#include "xlist.h"
#include "xlistr.h"
#include "xmemg.h"

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
    bool died = false;
    int32_t r = lock_object(h->lock, uint32_t(timeout), &died);
    if (r == 1) {
        h->owner.store(self, std::memory_order_relaxed);
        hdr->depth = 1;
        // A holder that died may have left an operation half done.
        if (died) [[unlikely]] repair_list(h);
        return 1;
    }
    return r == 2 ? -2 : -1;
}

int32_t make_list_lock(ListHandle *h, int32_t key) {
    XHANDLE lock = XCreateLockObj(key);
    if (lock == nullptr) return 0;
    h->lock = lock;
    return 1;
}

Status drop_list_lock(ListHandle *h) {
    Status s = destroy_lock(h->lock);
    h->lock = nullptr;
    h->owner.store(0, std::memory_order_relaxed);
    return s;
}

Status free_chain(LocalElem *first) {
    Status last;
    while (first != nullptr) {
        LocalElem *next = first->next;
        if (Status s = free_block(first); s.failed()) last = s;
        first = next;
    }
    return last;
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

}  // namespace zax

namespace {

// The storage of the local element that this thread gave back last, kept for
// its next add that fits: a queue in use adds and removes in turn, and then
// calls the heap once instead of twice per add and remove. Plain data, read
// at every add and remove; the keeper gives the block back when the thread
// ends, after which nothing is kept.
struct SpareBlock {
    void *block;
    size_t size;
    enum : uint8_t { kUnkept, kKept, kEnded } keeper;
};
__thread SpareBlock t_spare __attribute__((tls_model("initial-exec")));
struct SpareKeeper {
    ~SpareKeeper() {
        if (t_spare.block != nullptr) (void)os::heap_free(t_spare.block);  // a block of ours
        t_spare = SpareBlock{nullptr, 0, SpareBlock::kEnded};
    }
};
thread_local SpareKeeper t_spare_keeper;

// Blocks up to this size are kept.
constexpr size_t kSpareMax = 64 * 1024;

}  // namespace

namespace zax {

void *local_element_alloc(uint32_t size) {
    int32_t total = local_block_size(size);
    SpareBlock &spare = t_spare;
    // A block much larger than the element would hold memory for nothing.
    if (spare.block != nullptr && total > 0 && spare.size >= size_t(total) &&
        spare.size / 2 <= size_t(total)) {
        void *block = spare.block;
        spare.block = nullptr;
        return block;
    }
    void *block = total > 0 ? os::heap_alloc_unfilled(size_t(total)) : nullptr;
    if (block == nullptr) sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
    return block;
}

int32_t local_element_free(void *element) {
    size_t size = 0;
    // Not a block of the heap: XFreeMemory refuses it and records why.
    if (!os::heap_live(element, &size)) return XFreeMemory(element);
    SpareBlock &spare = t_spare;
    if (size > kSpareMax || spare.keeper == SpareBlock::kEnded) return XFreeMemory(element);
    if (spare.keeper == SpareBlock::kUnkept) {
        (void)&t_spare_keeper;  // made now, destroyed at the thread's end
        spare.keeper = SpareBlock::kKept;
    }
    if (spare.block != nullptr) (void)os::heap_free(spare.block);  // a block of ours
    spare.block = element;
    spare.size = size;
    return 1;
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

// The first word of a run of free words for an element of size data bytes,
// or -1 with the allocator's reason recorded (2: fewer free words in all,
// 3: no run long enough).
int64_t global_find(GlobalRegion *r, uint32_t size) {
    uint64_t n = element_words(size);
    if (n > r->h.free_words) {
        lib_error(FN_X_alloc_list, R_X_alloc_list_FULL, 0);
        return -1;
    }
    int64_t start = first_fit(bitmap_of(r), r->h.total_words, n);
    if (start < 0) lib_error(FN_X_alloc_list, R_X_alloc_list_FRAGMENTED, 0);
    return start;
}

void *global_alloc(GlobalRegion *r, uint32_t size) {
    int64_t start = global_find(r, size);
    if (start < 0) return nullptr;
    uint64_t n = element_words(size);
    mark_words(bitmap_of(r), uint64_t(start), n, true);
    os::crash_point("alloc: words marked");
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
        lib_error(FN_X_alloc_list, R_X_alloc_list_BAD_ARGUMENT, 2);
        return false;
    }
    uint64_t index = uint64_t(p - data) / 4;
    uint64_t n = element_words(static_cast<GlobalElem *>(element)->size);
    if (n > words - index || !all_marked(bitmap_of(r), index, n)) {
        lib_error(FN_X_alloc_list, R_X_alloc_list_BAD_ARGUMENT, 2);
        return false;
    }
    mark_words(bitmap_of(r), index, n, false);
    os::crash_point("free: words cleared");
    std::memset(p, 0, 4 * n);
    os::crash_point("free: words zeroed");
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
            if (put != int32_t(part)) return false;  // XWriteFile's failure is recorded
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
            lib_error(FN_XSaveListT, R_XSaveListT_DAMAGED_LIST, 0);
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
// or load is that of its writes and reads: a failure of the close is dropped.
void close_file(XFILE f) {
    (void)file::unlock(f);
    (void)file::close(f);
}

// Reads a saved list into region: an empty region of the list's kind,
// capacity and tag that only this thread sees. The records are appended as
// the list operations append them. What the file holds past its header
// bounds the buffer: the bytes that a header claims beyond the file's end
// read as zero without being allocated, and the load fails as it would have
// failed had they been read (the first record that cannot be added, else the
// end of the file).
bool read_records(void *region, XFILE f) {
    auto *hdr = static_cast<RegionHeader *>(region);
    uint8_t head[8];
    int64_t got = read_full(f, head, 8);
    if (got < 8) return false;  // XReadFile's short read (or failure) is recorded
    uint32_t payload = get_le32(head), count = get_le32(head + 4);
    if (hdr->capacity != 0 && hdr->capacity < payload) {
        lib_error(FN_XLoadListT, R_XLoadListT_TOO_LARGE, 0);
        return false;
    }
    if (payload == 0 || count == 0) return true;
    int64_t size = 0;
    bool regular = false;
    if (int err = os::file_size(f, &size, &regular)) {
        sys_error(FN_XReadFile, R_XReadFile_READ_FAILED, err);
        return false;
    }
    uint32_t held = !regular || size - 8 >= int64_t(payload) ? payload : uint32_t(size - 8);
    uint8_t *buf = nullptr;
    got = 0;
    if (held > 0) {
        // A payload beyond 2 GiB cannot be had from the heap (XAllocMemory refuses it).
        void *block = XAllocMemory(held > INT32_MAX ? -1 : int32_t(held), hdr->tag);
        if (block == X_FAILED_PTR) return false;
        buf = static_cast<uint8_t *>(block);
        got = read_full(f, buf, held);
    }
    bool ok = got >= 0;
    auto byte = [&](uint64_t i) -> uint32_t { return i < uint64_t(got) ? buf[i] : 0; };
    uint64_t pos = 0;
    for (uint32_t i = 0; ok && i < count; ++i) {
        if (payload - pos < 4) {
            lib_error(FN_XLoadListT, R_XLoadListT_DAMAGED_FILE, i + 1);
            ok = false;
            break;
        }
        uint32_t n = byte(pos) | byte(pos + 1) << 8 | byte(pos + 2) << 16 | byte(pos + 3) << 24;
        pos += 4;
        if (n > payload - pos) {
            lib_error(FN_XLoadListT, R_XLoadListT_DAMAGED_FILE, i + 1);
            ok = false;
        } else if (n == 0) {
            lib_error(FN_XAddListT, R_XAddListT_BAD_ARGUMENT, 3);  // as the add refuses it
            ok = false;
        } else if (pos + n <= uint64_t(got)) {
            ok = append_to_region(region, buf + pos, n) == 1;
        } else {
            ok = room_in_region(region, n);  // data the file lacks
        }
        pos += n;
    }
    // A payload that the file does not hold whole fails the load even when
    // its missing bytes would form valid records.
    if (ok && got < int64_t(payload)) {
        record_error(FN_XReadFile, R_XReadFile_SHORT_READ, 0, kSystem);
        ok = false;
    }
    if (buf != nullptr) XFreeMemory(buf);
    return ok;
}

// ---------------------------------------------------------------------------
// A global list's load, safe against the death of its process: the new
// region is built aside, recorded whole in the run-time directory (the load
// record "%08X.load" of the list's key: a head, then the region's header,
// bitmap and the used start of its data area) and only then copied over the
// list's region; the record is emptied once the copy is done. A holder that dies
// before the record is complete leaves the list as it was; one that dies
// after leaves a copy that the next holder of the list lock finishes.

struct LoadRecordHead {
    uint32_t mark;         // kLoadRecordMark once the rest is written
    uint32_t total_words;  // the region's geometry, checked before use
    uint32_t data_offset;
    uint32_t used_words;   // data words recorded: the new elements, packed from word 0
};
constexpr uint32_t kLoadRecordMark = 0x314A4C5A;  // "ZLJ1"

uint32_t key_of(const GlobalRegion *r) {
    return reinterpret_cast<const ShmHeader *>(reinterpret_cast<const char *>(r) -
                                                sizeof(ShmHeader))
        ->key;
}

// Opens the load record of key (made when create); 0 or an errno (ENOENT
// when there is none and create is not set).
int open_load_record(uint32_t key, bool create, int32_t &fd) {
    char name[24];
    std::snprintf(name, sizeof name, os::names::kLoadRecord, key);
    return os::object_file_open(name, create, &fd);
}

// Empties the record open on fd: no record any more.
void clear_load_record(int32_t fd) { (void)os::file_truncate(fd, 0); }

// Copies a region image over the list's region: everything but the attach
// count (other processes change it under the creation lock) and the lock
// depth (the present holder's), then clears the data area after the image's
// used words.
void copy_image(GlobalRegion *r, const uint8_t *image, uint64_t used_words) {
    constexpr size_t kAttach = offsetof(RegionHeader, attach);
    constexpr size_t kAfterDepth = offsetof(RegionHeader, depth) + sizeof(uint32_t);
    auto *dst = reinterpret_cast<uint8_t *>(r);
    size_t start = r->h.data_offset;
    size_t end = start + 4 * size_t(used_words);
    std::memcpy(dst + start, image + start, end - start);
    os::crash_point("load: elements copied");
    std::memcpy(dst, image, kAttach);
    std::memcpy(dst + kAfterDepth, image + kAfterDepth, start - kAfterDepth);
    os::crash_point("load: region copied");
    std::memset(dst + end, 0, 4 * (size_t(r->h.total_words) - size_t(used_words)));
}

// Writes the load record of image to the record open on fd, the mark last;
// 0 or an errno (the record is then empty).
int write_load_record(int32_t fd, const LoadRecordHead &head, const uint8_t *image,
                      size_t image_bytes) {
    LoadRecordHead unmarked = head;
    unmarked.mark = 0;
    size_t put = 0;
    int64_t pos = 0;
    int err = os::file_truncate(fd, 0);
    if (err == 0) err = os::file_write(fd, &unmarked, sizeof unmarked, &put);
    if (err == 0) err = os::file_write(fd, image, image_bytes, &put);
    os::crash_point("load: record written");
    if (err == 0) err = os::file_seek(fd, 0, 0, &pos);
    if (err == 0) err = os::file_write(fd, &head.mark, sizeof head.mark, &put);
    if (err != 0) clear_load_record(fd);
    return err;
}

bool publish_global(GlobalRegion *r, const GlobalRegion *image) {
    // Appended one after the other to an empty region, the new elements fill
    // the data area's first words without a gap.
    uint64_t used_words = uint64_t(image->h.total_words) - image->h.free_words;
    LoadRecordHead head{kLoadRecordMark, r->h.total_words, r->h.data_offset, uint32_t(used_words)};
    const auto *bytes = reinterpret_cast<const uint8_t *>(image);
    size_t image_bytes = size_t(r->h.data_offset) + 4 * size_t(used_words);
    int32_t fd = 0;
    int err = open_load_record(key_of(r), true, fd);
    if (err == 0) {
        err = write_load_record(fd, head, bytes, image_bytes);
        if (err != 0) (void)os::file_close(fd);
    }
    if (err != 0) {
        sys_error(FN_XWriteFile, R_XWriteFile_WRITE_FAILED, err);
        return false;
    }
    os::crash_point("load: record complete");
    copy_image(r, bytes, used_words);
    os::crash_point("load: region replaced");
    clear_load_record(fd);
    (void)os::file_close(fd);
    return true;
}

// The repair's part of a load: a complete record that fits the region is
// copied over it again; any record is cleared.
void finish_load(GlobalRegion *r) {
    int32_t fd = 0;
    if (open_load_record(key_of(r), false, fd) != 0) return;
    int64_t size = 0;
    bool regular = false;
    LoadRecordHead head{};
    size_t got = 0;
    void *view = nullptr;
    if (os::file_size(fd, &size, &regular) == 0 && size >= int64_t(sizeof head) &&
        os::file_read(fd, &head, sizeof head, &got) == 0 && got == sizeof head &&
        head.mark == kLoadRecordMark && head.total_words == r->h.total_words &&
        head.data_offset == r->h.data_offset && head.used_words <= head.total_words &&
        size == int64_t(sizeof head + head.data_offset + 4 * uint64_t(head.used_words)) &&
        os::map_file(fd, size_t(size), false, &view) == 0) {
        copy_image(r, static_cast<const uint8_t *>(view) + sizeof head, head.used_words);
        (void)os::unmap_file(view, size_t(size));
    }
    if (size > 0) clear_load_record(fd);
    (void)os::file_close(fd);
}

bool load_global(ListHandle *h, XFILE f) {
    auto *r = static_cast<GlobalRegion *>(h->region);
    size_t bytes = region_bytes(&r->h);
    void *block = XAllocMemory(bytes > INT32_MAX ? -1 : int32_t(bytes), r->h.tag);
    if (block == X_FAILED_PTR) return false;
    // An empty region of the list's geometry (zero-filled: an all-free bitmap).
    auto *image = static_cast<GlobalRegion *>(block);
    image->h = r->h;
    image->h.count = 0;
    image->h.used = 0;
    image->h.free_words = image->h.total_words;
    bool ok = read_records(image, f) && publish_global(r, image);
    XFreeMemory(block);
    return ok;
}

// A local list's load builds the new chain aside and puts it in place with
// one store (the first element): a thread that dies before it leaves the old
// content, one that dies after it the new (the rest follows from the chain).
bool load_local(ListHandle *h, XFILE f) {
    auto *r = static_cast<LocalRegion *>(h->region);
    LocalRegion staged{};
    staged.h = r->h;
    staged.h.count = 0;
    staged.h.used = 0;
    if (!read_records(&staged, f)) {
        (void)free_chain(staged.first);
        return false;
    }
    LocalElem *old = r->first;
    r->first = staged.first;
    os::crash_point("load: chain replaced");
    r->last = staged.last;
    r->h.used = staged.h.used;
    r->h.count = staged.h.count;
    os::crash_point("load: counted");
    if (Status s = free_chain(old); s.failed()) record_failure(s);
    return true;
}

// The new content of a save goes to a file beside the old one that takes
// its name only once it is complete and on disk (os::replace_open): a save
// that fails, or whose process dies, leaves the last saved file whole. The
// caller holds the old file's lock.
bool write_saved(ListHandle *h, const char *name, XFILE f) {
    RegionHeader *hdr = header_of(h);
    // Each element counts data + 12 in the region and data + 4 in the file.
    uint32_t n = hdr->count;
    uint32_t payload = hdr->used - 8 * n;
    os::Replacement rep;
    if (int err = os::replace_open(name, f, &rep)) {
        sys_error(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
        return false;
    }
    os::crash_point("save: new file made");
    if (int err = os::replace_reserve(&rep, 8 + int64_t(payload))) {
        sys_error(FN_XWriteFile, R_XWriteFile_WRITE_FAILED, err);
        return false;
    }
    FileWriter w(rep.fd);
    bool ok = w.put32(payload) && w.put32(n);
    if (ok) {
        ok = hdr->type == kGlobalType
                 ? save_elements<GlobalKind>(static_cast<GlobalRegion *>(h->region), w)
                 : save_elements<LocalKind>(static_cast<LocalRegion *>(h->region), w);
    }
    os::crash_point("save: content written");
    if (!ok) return false;  // the new file goes with rep
    if (int err = os::replace_commit(&rep)) {
        sys_error(FN_XFlushFile, R_XFlushFile_FLUSH_FAILED, err);
        return false;
    }
    os::crash_point("save: in place");
    return true;
}

int32_t save_list(ListHandle *h, const char *name, int32_t timeout) {
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    // Absence only picks the way of opening.
    bool exists = !file::exists(name).failed();
    XFILE f = XOpenFile(name, 0,
                        exists ? (X_OPEN_READWRITE | X_OPEN_LOCK)
                               : (X_OPEN_READWRITE | X_OPEN_LOCK | X_OPEN_CREATE));
    if (f == 0) return -1;
    bool ok = write_saved(h, name, f);
    if (!ok && !exists) {
        // The first save of a name that failed leaves no file.
        (void)os::file_delete(name);
    }
    close_file(f);
    return ok ? 1 : -1;
}

int32_t load_list(ListHandle *h, const char *name, int32_t timeout) {
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    XFILE f = XOpenFile(name, 0, X_OPEN_READ | X_OPEN_LOCK);
    if (f == 0) return -1;
    bool ok = header_of(h)->type == kGlobalType ? load_global(h, f) : load_local(h, f);
    close_file(f);
    return ok ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Repair and checks.

bool none_marked(const uint8_t *bm, uint64_t start, uint64_t n) {
    for (uint64_t i = start; i < start + n; ++i)
        if (word_used(bm, i)) return false;
    return true;
}

void repair_global(GlobalRegion *r) {
    uint8_t *bm = bitmap_of(r);
    uint8_t *data = data_area_of(r);
    const uint64_t words = r->h.total_words;
    std::memset(bm, 0, size_t(r->h.data_offset) - sizeof(GlobalRegion));
    uint64_t marked = 0, used = 0;
    uint32_t count = 0, prev = 0;
    uint32_t *link = &r->first;
    for (GlobalElem *e; (e = GlobalKind::at(r, *link)) != nullptr; link = &e->next) {
        // An element that reaches past the data area or into another one
        // (or back into itself) ends the chain.
        uint64_t index = (uint64_t(*link) - r->h.data_offset) / 4;
        uint64_t n = element_words(e->size);
        if (e->size == 0 || n > words - index || !none_marked(bm, index, n) ||
            used + e->size + kElementOverhead > UINT32_MAX)
            break;
        mark_words(bm, index, n, true);
        marked += n;
        used += e->size + kElementOverhead;
        ++count;
        e->prev = prev;
        prev = *link;
    }
    *link = 0;
    r->last = prev;
    r->h.count = count;
    r->h.used = uint32_t(used);
    r->h.free_words = uint32_t(words - marked);
    for (uint64_t i = 0; i < words;) {
        if (word_used(bm, i)) {
            ++i;
            continue;
        }
        uint64_t j = i;
        while (j < words && !word_used(bm, j)) ++j;
        std::memset(data + 4 * i, 0, size_t(4 * (j - i)));
        i = j;
    }
}

void repair_local(LocalRegion *r) {
    uint64_t used = 0;
    uint32_t count = 0;
    LocalElem *prev = nullptr;
    for (LocalElem *e = r->first; e != nullptr; e = e->next) {
        e->prev = prev;
        prev = e;
        ++count;
        used += e->size + kElementOverhead;
    }
    r->last = prev;
    r->h.count = count;
    r->h.used = uint32_t(used);
}

bool broken(const char **why, const char *what) {
    if (why != nullptr) *why = what;
    return false;
}

template <class K> bool chain_sound(typename K::Region *r, const char **why) {
    uint32_t n = 0;
    uint64_t used = 0;
    typename K::Link prev{};
    for (typename K::Elem *e = K::at(r, r->first); e != nullptr; e = K::at(r, e->next)) {
        if (++n > r->h.count) return broken(why, "more elements on the chain than the count");
        if (e->prev != prev) return broken(why, "a previous link that is not the element before");
        if (e->size == 0 || K::readable(r, e) < e->size)
            return broken(why, "an element that is empty or reaches past the region");
        used += e->size + kElementOverhead;
        prev = K::link(r, e);
    }
    if (n != r->h.count) return broken(why, "fewer elements on the chain than the count");
    if (r->last != prev) return broken(why, "a last element that is not the chain's last");
    if (used != r->h.used) return broken(why, "bytes used that are not the elements' sum");
    return true;
}

bool global_sound(GlobalRegion *r, const char **why) {
    if (!chain_sound<GlobalKind>(r, why)) return false;
    const uint64_t words = r->h.total_words;
    const uint8_t *bm = bitmap_of(r);
    std::vector<uint8_t> expected(size_t(r->h.data_offset) - sizeof(GlobalRegion), 0);
    uint64_t marked = 0;
    for (GlobalElem *e = GlobalKind::at(r, r->first); e != nullptr;
         e = GlobalKind::at(r, e->next)) {
        uint64_t index = (uint64_t(GlobalKind::link(r, e)) - r->h.data_offset) / 4;
        uint64_t n = element_words(e->size);
        if (!none_marked(expected.data(), index, n))
            return broken(why, "elements that share words");
        mark_words(expected.data(), index, n, true);
        marked += n;
    }
    if (std::memcmp(expected.data(), bm, expected.size()) != 0)
        return broken(why, "a bitmap that is not the elements' words");
    if (r->h.free_words != words - marked) return broken(why, "free words that do not add up");
    const uint8_t *data = data_area_of(r);
    for (uint64_t i = 0; i < words; ++i) {
        if (word_used(bm, i)) continue;
        uint32_t w;
        std::memcpy(&w, data + 4 * i, 4);
        if (w != 0) return broken(why, "a free word that is not zero");
    }
    return true;
}

}  // namespace

bool zax::room_in_region(void *region, uint32_t size) {
    auto *hdr = static_cast<RegionHeader *>(region);
    if (!capacity_for(hdr, size)) return false;
    if (hdr->type == kGlobalType) return global_find(static_cast<GlobalRegion *>(region), size) >= 0;
    if (local_block_size(size) < 0) {
        sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
        return false;
    }
    return true;
}

void zax::repair_list(ListHandle *h) {
    if (header_of(h)->type == kGlobalType) {
        auto *r = static_cast<GlobalRegion *>(h->region);
        finish_load(r);
        repair_global(r);
    } else {
        repair_local(static_cast<LocalRegion *>(h->region));
    }
}

bool zax::list_sound(ListHandle *h, const char **why) {
    if (header_of(h)->type == kGlobalType)
        return global_sound(static_cast<GlobalRegion *>(h->region), why);
    return chain_sound<LocalKind>(static_cast<LocalRegion *>(h->region), why);
}

void zax::forget_load_record(uint32_t key) {
    int32_t fd = 0;
    if (open_load_record(key, false, fd) != 0) return;
    clear_load_record(fd);
    (void)os::file_close(fd);
}

extern "C" {

XAPI int32_t X_create_list_lock(XHANDLE list, int32_t key) {
    ListHandle *h = list_of(list, FN_XCreateLockObj);
    return h != nullptr ? make_list_lock(h, key) : 0;
}

XAPI int32_t X_destroy_list_lock(XHANDLE list) {
    ListHandle *h = list_of(list, FN_XDestroyLockObj);
    if (h == nullptr) return 0;
    return recorded(drop_list_lock(h));
}

XAPI int32_t X_lock_list(XHANDLE list) {
    ListHandle *h = list_of(list, FN_XLockObj);
    if (h == nullptr) return 0;
    if (is_remote(h)) return remote::lock(h);
    return lock_list(h, -1) == 1 ? 1 : 0;
}

XAPI int32_t X_unlock_list(XHANDLE list) {
    ListHandle *h = list_of(list, FN_XUnlockObj);
    if (h == nullptr) return 0;
    if (is_remote(h)) return remote::unlock(h);
    return unlock_list(h);
}

XAPI void *X_alloc_list(void *region, uint32_t size, uint32_t /*flags: not used*/) {
    RegionHeader *hdr = region_of(region);
    if (hdr == nullptr) {
        lib_error(FN_X_alloc_list, R_X_alloc_list_BAD_ARGUMENT, 1);
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
        lib_error(FN_X_alloc_list, R_X_alloc_list_BAD_ARGUMENT, 1);
        return 0;
    }
    if (element == nullptr) {
        lib_error(FN_X_alloc_list, R_X_alloc_list_BAD_ARGUMENT, 2);
        return 0;
    }
    if (hdr->type == kGlobalType) return global_free(static_cast<GlobalRegion *>(region), element);
    return XFreeMemory(element);
}

XAPI int32_t XSaveListT(XHANDLE list, const char *name, int32_t timeout) {
    ListHandle *h = list_of(list, FN_XSaveListT);
    if (h == nullptr) return -1;
    if (name == nullptr) {
        lib_error(FN_XSaveListT, R_XSaveListT_BAD_ARGUMENT, 2);
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
        lib_error(FN_XLoadListT, R_XLoadListT_BAD_ARGUMENT, 2);
        return -1;
    }
    if (is_remote(h)) return remote::load(h, name, timeout);
    return load_list(h, name, timeout);
}

XAPI int32_t XLoadList(XHANDLE list, const char *name) {
    return XLoadListT(list, name, -1) == 1 ? 1 : 0;
}

}  // extern "C"

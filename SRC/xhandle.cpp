// xhandle: handle records and the table of live handles (xhandle.h).
#include "xhandle.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "os/heap.h"
#include "os/sys.h"

namespace zax {
namespace {

// Freed records, by size in steps of 16 bytes. A block keeps its size class
// for ever, so a stale handle always finds a header at its start.
constexpr size_t kStep = 16;
constexpr size_t kClasses = kMaxHandleRecord / kStep;

struct FreeRecord {
    HandleHeader header;  // magic 0
    FreeRecord *next;
};

std::mutex g_pool_lock;
FreeRecord *g_free[kClasses + 1];

// A thread of the parent may hold the lock at a fork: the child gets it free.
void pool_prepare() { g_pool_lock.lock(); }
void pool_release() { g_pool_lock.unlock(); }

size_t class_of(size_t size) { return (size + kStep - 1) / kStep; }

// Live handles of a fixed layout: open addressing over atomic slots, so
// that a look-up takes no lock. Changes are made under g_list_lock; a table
// that grows is copied and the old one kept (a reader may still be in it).
constexpr uintptr_t kEmpty = 0, kGone = 1;

struct Table {
    size_t mask;
    size_t used;  // live entries and kGone marks
    Table *retired;
    std::atomic<uintptr_t> slots[1];
};

std::mutex g_list_lock;
std::atomic<Table *> g_table{nullptr};
size_t g_live = 0;

size_t hash(uintptr_t key) { return size_t((key >> 4) * 0x9E3779B97F4A7C15ull >> 17); }

Table *make_table(size_t size) {
    void *block = os::heap_alloc(offsetof(Table, slots) + size * sizeof(std::atomic<uintptr_t>));
    if (block == nullptr) return nullptr;
    auto *t = static_cast<Table *>(block);
    t->mask = size - 1;
    return t;
}

void put(Table *t, uintptr_t key) {
    size_t i = hash(key) & t->mask;
    while (t->slots[i].load(std::memory_order_relaxed) > kGone) i = (i + 1) & t->mask;
    if (t->slots[i].load(std::memory_order_relaxed) == kEmpty) ++t->used;
    t->slots[i].store(key, std::memory_order_release);
}

// A table with room for one more entry: the current one, or a larger copy
// without the marks of removed entries. Null when memory runs out.
Table *room_for_one() {
    Table *t = g_table.load(std::memory_order_relaxed);
    if (t != nullptr && (t->used + 1) * 2 <= t->mask + 1) return t;
    size_t size = 64;
    while (size < (g_live + 1) * 4) size *= 2;
    Table *bigger = make_table(size);
    if (bigger == nullptr) return nullptr;
    for (size_t i = 0; t != nullptr && i <= t->mask; ++i)
        if (uintptr_t key = t->slots[i].load(std::memory_order_relaxed); key > kGone) put(bigger, key);
    bigger->retired = t;
    g_table.store(bigger, std::memory_order_release);
    return bigger;
}

}  // namespace

void *handle_try_alloc(HandleKind kind, size_t size) {
    static const int fork_safe = os::at_fork(pool_prepare, pool_release, pool_release);
    (void)fork_safe;
    size_t c = class_of(size < sizeof(FreeRecord) ? sizeof(FreeRecord) : size);
    HandleHeader *h = nullptr;
    uint16_t generation = 0;
    {
        std::lock_guard<std::mutex> hold(g_pool_lock);
        if (FreeRecord *f = g_free[c]) {
            g_free[c] = f->next;
            generation = uint16_t(f->header.generation + 1);
            std::memset(static_cast<void *>(f), 0, c * kStep);
            h = &f->header;
        }
    }
    if (h == nullptr) {
        h = static_cast<HandleHeader *>(os::heap_alloc(c * kStep));
        if (h == nullptr) return nullptr;
    }
    h->kind = uint16_t(kind);
    h->generation = generation;
    h->magic.store(kHandleMagic, std::memory_order_release);
    return h;
}

void *handle_alloc(HandleKind kind, size_t size) {
    void *h = handle_try_alloc(kind, size);
    if (h == nullptr) sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
    return h;
}

void handle_release(void *record, size_t size) {
    if (record == nullptr) return;
    auto *f = static_cast<FreeRecord *>(record);
    // Only the first of two racing releases gives the block back.
    if (f->header.magic.exchange(0, std::memory_order_acq_rel) != kHandleMagic) return;
    size_t c = class_of(size < sizeof(FreeRecord) ? sizeof(FreeRecord) : size);
    std::lock_guard<std::mutex> hold(g_pool_lock);
    f->next = g_free[c];
    g_free[c] = f;
}

bool handle_list(const void *h) {
    std::lock_guard<std::mutex> hold(g_list_lock);
    Table *t = room_for_one();
    if (t == nullptr) {
        sys_error(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
        return false;
    }
    put(t, reinterpret_cast<uintptr_t>(h));
    ++g_live;
    return true;
}

void handle_unlist(const void *h) {
    std::lock_guard<std::mutex> hold(g_list_lock);
    Table *t = g_table.load(std::memory_order_relaxed);
    const auto key = reinterpret_cast<uintptr_t>(h);
    for (size_t i = hash(key) & (t ? t->mask : 0); t != nullptr; i = (i + 1) & t->mask) {
        uintptr_t v = t->slots[i].load(std::memory_order_relaxed);
        if (v == kEmpty) return;
        if (v == key) {
            t->slots[i].store(kGone, std::memory_order_release);
            --g_live;
            return;
        }
    }
}

bool handle_listed(const void *h) {
    const auto key = reinterpret_cast<uintptr_t>(h);
    if (key <= kGone) return false;
    Table *t = g_table.load(std::memory_order_acquire);
    if (t == nullptr) return false;
    for (size_t i = hash(key) & t->mask;; i = (i + 1) & t->mask) {
        uintptr_t v = t->slots[i].load(std::memory_order_acquire);
        if (v == key) return true;
        if (v == kEmpty) return false;
    }
}

}  // namespace zax

// Handles: the one way an XHANDLE becomes the object behind it.
//
// A record that the library lays out itself (a lock object, a timer, a
// parameter file ...) begins with a HandleHeader and comes from
// handle_alloc. Its block is never given back to the heap: handle_free
// clears the header and keeps the block for a later record, so a handle
// that was destroyed still points at readable memory whose header says so.
// A handle whose layout is fixed (a list handle's three fields) cannot carry
// the header: a table of the live ones answers for it instead.
//
// handle_get checks a handle and records the caller's reason when it is
// null, destroyed, of another kind, or anything else: a pointer to readable
// memory that no handle_alloc made is refused by its header.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "xint.h"

namespace zax {

enum class HandleKind : uint16_t {
    lock = 1, timer, debug, parm, mapped, process, thread, module, event, registry, segment
};

// The first member of every record that handle_alloc makes.
struct HandleHeader {
    std::atomic<uint32_t> magic;  // kHandleMagic while live, 0 once freed
    uint16_t kind;
    uint16_t generation;  // how often the block has been given out before
};
constexpr uint32_t kHandleMagic = 0x5A484E44;  // "ZHND"
// The largest record handle_alloc makes.
constexpr size_t kMaxHandleRecord = 1024;

// A zero-filled record of size bytes (at most kMaxHandleRecord) for a new
// handle of kind, its header filled in; null with XAllocMemory's reason
// (ENOMEM) recorded when no memory can be had.
void *handle_alloc(HandleKind kind, size_t size);
// Ends the handle of record, made by handle_alloc with size: it is refused
// from now on. Null, or a record freed already, does nothing.
void handle_release(void *record, size_t size);

// Whether h is a live handle of kind, read without recording anything.
inline bool handle_is(XHANDLE h, HandleKind kind) {
    auto at = reinterpret_cast<uintptr_t>(h);
    if (at == 0 || at % alignof(HandleHeader) != 0) return false;
    const auto *hdr = static_cast<const HandleHeader *>(h);
    return hdr->magic.load(std::memory_order_acquire) == kHandleMagic &&
           hdr->kind == uint16_t(kind);
}

// The record of type T (whose first member is its HandleHeader) that h
// names, or null when h is no live handle of kind.
template <class T> T *handle_as(XHANDLE h, HandleKind kind) {
    static_assert(std::is_standard_layout_v<T>, "a handle record begins with its header");
    return handle_is(h, kind) ? static_cast<T *>(h) : nullptr;
}

// The same, recording reason under fn (a library error whose detail is the
// handle's argument position) when h is no live handle of kind.
template <class T>
T *handle_get(XHANDLE h, HandleKind kind, Fn fn, Reason reason, uint32_t detail = 1) {
    T *rec = handle_as<T>(h, kind);
    if (rec == nullptr) [[unlikely]]
        lib_error(fn, reason, detail);
    return rec;
}

template <class T> T *handle_new(HandleKind kind) {
    static_assert(sizeof(T) <= kMaxHandleRecord && std::is_standard_layout_v<T>);
    return static_cast<T *>(handle_alloc(kind, sizeof(T)));
}
// The same, recording nothing: null when no memory can be had.
void *handle_try_alloc(HandleKind kind, size_t size);
template <class T> T *handle_try_new(HandleKind kind) {
    static_assert(sizeof(T) <= kMaxHandleRecord && std::is_standard_layout_v<T>);
    return static_cast<T *>(handle_try_alloc(kind, sizeof(T)));
}
template <class T> void handle_free(T *record) { handle_release(record, sizeof(T)); }

// A record kept inside another handle's record (whose block stays readable
// as the outer one's does) becomes a live handle of kind, and ends, with
// these; the outer record ends it before it is freed itself.
inline void handle_open_inner(HandleHeader &h, HandleKind kind) {
    h.kind = uint16_t(kind);
    h.magic.store(kHandleMagic, std::memory_order_release);
}
inline void handle_close_inner(HandleHeader &h) { h.magic.store(0, std::memory_order_release); }

// The table of live handles of a fixed layout: added when made, removed
// when destroyed. handle_listed reads without a lock.
bool handle_list(const void *h);  // false (ENOMEM recorded) when it cannot be added
void handle_unlist(const void *h);
bool handle_listed(const void *h);

}  // namespace zax

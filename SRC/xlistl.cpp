// xlistl: local lists, and the element operations that global lists share.
// Elements are copied in and out; positions are 1-based, with 0 for the
// first element and -1 for the last.
#include <cstdint>
#include <new>
#include <cstring>

#include "xint.h"
#include "xlist.h"
#include "xlistr.h"

using namespace zax;

namespace {

template <class K>
int32_t add_element(typename K::Region *r, const void *data, uint32_t size, int32_t position) {
    uint32_t count = r->h.count;
    uint64_t need = uint64_t(size) + kElementOverhead;
    if (!capacity_for(&r->h, size)) return -1;
    uint32_t index;
    if (position == -1 || int64_t(position) == int64_t(count) + 1) {
        index = count;
    } else if (position >= 0 && int64_t(position) <= int64_t(count)) {
        index = position == 0 ? 0 : uint32_t(position - 1);
    } else {
        lib_error(FN_XAddListT, R_XAddListT_BAD_POSITION, 0);
        return -1;
    }
    typename K::Elem *e = K::alloc(r, size);
    if (e == nullptr) return -1;
    os::crash_point("add: storage taken");
    e->size = size;
    std::memcpy(data_of<K>(e), data, size);
    link_element<K>(r, e, index);
    r->h.used += uint32_t(need);
    os::crash_point("add: bytes counted");
    ++r->h.count;
    return 1;
}

}  // namespace

int32_t zax::append_to_region(void *region, const void *data, uint32_t size) {
    auto *hdr = static_cast<RegionHeader *>(region);
    return hdr->type == kGlobalType
               ? add_element<GlobalKind>(static_cast<GlobalRegion *>(region), data, size, -1)
               : add_element<LocalKind>(static_cast<LocalRegion *>(region), data, size, -1);
}

namespace {

// The 0-based index of an existing element for remove and peek, or -1.
int64_t index_of(uint32_t count, int32_t position) {
    if (count == 0) return -1;
    if (position == -1) return count - 1;
    if (position == 0) return 0;
    if (position >= 1 && int64_t(position) <= int64_t(count)) return position - 1;
    return -1;
}

// The element at position, or null with reason (detail 0: no such position,
// 1: the chain has no element there) recorded under fn.
template <class K>
typename K::Elem *element_at(typename K::Region *r, int32_t position, Fn fn, Reason reason) {
    int64_t index = index_of(r->h.count, position);
    if (index < 0) {
        lib_error(fn, reason, 0);
        return nullptr;
    }
    typename K::Elem *e = find_element<K>(r, uint32_t(index));
    if (e == nullptr || K::readable(r, e) < e->size) {
        lib_error(fn, reason, 1);
        return nullptr;
    }
    return e;
}

template <class K>
int32_t remove_element(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position) {
    auto *r = static_cast<typename K::Region *>(h->region);
    typename K::Elem *e = element_at<K>(r, position, FN_XRemoveListT, R_XRemoveListT_BAD_POSITION);
    if (e == nullptr) return -1;
    uint32_t size = e->size;
    if (buffer != nullptr) {
        if (size > buffer_size) {
            // The caller gets what fits; the element stays for a larger buffer.
            std::memcpy(buffer, data_of<K>(e), buffer_size);
            lib_error(FN_XRemoveListT, R_XRemoveListT_BUFFER_TOO_SMALL, 0);
            return -1;
        }
        std::memcpy(buffer, data_of<K>(e), size);
    }
    // Off the chain before its storage goes back, so that a holder that dies
    // in between leaves the element removed (a global element's words are
    // then found free again by the next holder; a local block is lost).
    typename K::Link next = e->next, prev = e->prev;
    close_gap<K>(r, next, prev);
    if (!K::free(r, e)) {
        // Storage that is not the list's (a damaged region): back in place.
        --r->h.count;
        link_element<K>(r, e, uint32_t(index_of(r->h.count + 1, position)));
        ++r->h.count;
        return -1;
    }
    os::crash_point("remove: storage freed");
    r->h.used -= size + kElementOverhead;
    os::crash_point("remove: bytes counted");
    --r->h.count;
    return 1;
}

template <class K>
int32_t peek_element(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position) {
    auto *r = static_cast<typename K::Region *>(h->region);
    typename K::Elem *e = element_at<K>(r, position, FN_XPeekListT, R_XPeekListT_BAD_POSITION);
    if (e == nullptr) return -1;
    if (buffer != nullptr && buffer_size != 0)
        std::memcpy(buffer, data_of<K>(e), e->size < buffer_size ? e->size : buffer_size);
    return int32_t(e->size);
}

bool is_global(ListHandle *h) { return header_of(h)->type == kGlobalType; }

}  // namespace

Status zax::discard_local_list(ListHandle *h) {
    Status last = free_chain(static_cast<LocalRegion *>(h->region)->first);
    handle_unlist(h);
    for (Status s : {drop_list_lock(h), free_block(h->region), free_block(h)})
        if (s.failed()) last = s;
    return last;
}

extern "C" {

XAPI XHANDLE XCreateList(uint32_t capacity, int32_t /*key: a local list has no name*/,
                         uint32_t tag) {
    void *block = XAllocMemory(sizeof(ListHandle), tag);
    if (block == X_FAILED_PTR) return nullptr;
    auto *h = new (block) ListHandle{};
    void *region = XAllocMemory(sizeof(LocalRegion), tag);
    if (region == X_FAILED_PTR) {
        XFreeMemory(h);
        return nullptr;
    }
    auto *r = static_cast<LocalRegion *>(region);
    r->h.type = kLocalType;
    r->h.capacity = capacity;
    r->h.tag = tag;
    h->region = region;
    const bool locked = make_list_lock(h, -1) == 1;
    if (!locked || !handle_list(h)) {
        if (Status s = locked ? drop_list_lock(h) : Status{}; s.failed()) record_failure(s);
        XFreeMemory(region);
        XFreeMemory(h);
        return nullptr;
    }
    return h;
}

XAPI int32_t XDestroyList(XHANDLE list) {
    ListHandle *h = list_of(list, FN_XDestroyList);
    if (h == nullptr) return 0;
    // A global list is left by XDestroyGlobalList, never emptied from here.
    if (is_global(h) || is_remote(h)) {
        lib_error(FN_XDestroyList, R_XDestroyList_BAD_ARGUMENT, 1);
        return 0;
    }
    bool ok = true;
    for (uint32_t p = header_of(h)->count; p >= 1; --p)
        ok = XRemoveList(list, nullptr, 0, int32_t(p)) == 1 && ok;
    handle_unlist(h);
    if (Status s = drop_list_lock(h); s.failed()) {
        record_failure(s);
        ok = false;
    }
    ok = XFreeMemory(h->region) == 1 && ok;
    ok = XFreeMemory(h) == 1 && ok;
    return ok ? 1 : 0;
}

XAPI int32_t XAddListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                       int32_t timeout) {
    ListHandle *h = list_of(list, FN_XAddListT);
    if (h == nullptr) return -1;
    if (data == nullptr) {
        lib_error(FN_XAddListT, R_XAddListT_BAD_ARGUMENT, 2);
        return -1;
    }
    if (size == 0) {
        lib_error(FN_XAddListT, R_XAddListT_BAD_ARGUMENT, 3);
        return -1;
    }
    if (is_remote(h)) return remote::add(h, data, size, position, timeout);
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    return is_global(h)
               ? add_element<GlobalKind>(static_cast<GlobalRegion *>(h->region), data, size,
                                         position)
               : add_element<LocalKind>(static_cast<LocalRegion *>(h->region), data, size,
                                        position);
}

XAPI int32_t XAddList(XHANDLE list, const void *data, uint32_t size, int32_t position) {
    return XAddListT(list, data, size, position, -1) == 1 ? 1 : 0;
}

XAPI int32_t XRemoveListT(XHANDLE list, void *buffer, uint32_t buffer_size, int32_t position,
                          int32_t timeout) {
    ListHandle *h = list_of(list, FN_XRemoveListT);
    if (h == nullptr) return -1;
    if (is_remote(h)) return remote::remove(h, buffer, buffer_size, position, timeout);
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    return is_global(h) ? remove_element<GlobalKind>(h, buffer, buffer_size, position)
                        : remove_element<LocalKind>(h, buffer, buffer_size, position);
}

XAPI int32_t XRemoveList(XHANDLE list, void *buffer, uint32_t buffer_size, int32_t position) {
    return XRemoveListT(list, buffer, buffer_size, position, -1) == 1 ? 1 : 0;
}

XAPI int32_t XPeekListT(XHANDLE list, void *buffer, uint32_t buffer_size, int32_t position,
                        int32_t timeout) {
    ListHandle *h = list_of(list, FN_XPeekListT);
    if (h == nullptr) return -1;
    if (is_remote(h)) return remote::peek(h, buffer, buffer_size, position, timeout);
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    return is_global(h) ? peek_element<GlobalKind>(h, buffer, buffer_size, position)
                        : peek_element<LocalKind>(h, buffer, buffer_size, position);
}

XAPI int32_t XPeekList(XHANDLE list, void *buffer, uint32_t buffer_size, int32_t position) {
    int32_t r = XPeekListT(list, buffer, buffer_size, position, -1);
    return r == -1 || r == -2 ? 0 : r;
}

XAPI int32_t XGetListNumT(XHANDLE list, int32_t timeout) {
    ListHandle *h = list_of(list, FN_XGetListNumT);
    if (h == nullptr) return -1;
    if (is_remote(h)) return remote::count(h, timeout);
    ListLock lock(h, timeout);
    if (lock.result() != 1) return lock.result();
    return int32_t(header_of(h)->count);
}

XAPI int32_t XGetListNum(XHANDLE list) {
    int32_t r = XGetListNumT(list, -1);
    return r == -1 || r == -2 ? 0 : r;
}

}  // extern "C"

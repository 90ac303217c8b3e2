// xmemg: keyed shared memory segments. A segment is found by its key, which
// the vector table records as allocated; a 16-byte "KELM" header precedes
// the caller's area.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "os/names.h"
#include "os/shm.h"
#include "os/sys.h"
#include "xhandle.h"
#include "xint.h"
#include "xmemg.h"

using namespace zax;

static_assert(sizeof(ShmHeader) == 16, "segment header is 16 bytes");
static_assert(offsetof(ShmHeader, total) == 4 && offsetof(ShmHeader, key) == 8 &&
                  offsetof(ShmHeader, tag1) == 12 && offsetof(ShmHeader, zero) == 14,
              "segment header layout");

namespace {

struct Name {
    char text[9];
    explicit Name(uint32_t key) { std::snprintf(text, sizeof text, os::names::kSegment, key); }
};

struct HeaderInit {
    uint32_t total, key;
    uint8_t tag1, tag2;
};

void write_header(void *view, void *arg) {
    const auto *h = static_cast<const HeaderInit *>(arg);
    auto *hdr = static_cast<ShmHeader *>(view);
    std::memcpy(hdr->magic, "KELM", 4);
    hdr->total = h->total;
    hdr->key = h->key;
    hdr->tag1 = h->tag1;
    hdr->tag2 = h->tag2;
    hdr->zero = 0;
}

// A segment file is used only when its header is a segment's of this key and
// describes the whole file.
bool header_fits(const void *head, size_t file_size, const void *arg) {
    const auto *hdr = static_cast<const ShmHeader *>(head);
    return std::memcmp(hdr->magic, "KELM", 4) == 0 && hdr->total == file_size &&
           hdr->key == *static_cast<const uint32_t *>(arg);
}

os::ShmLayout layout_of(const uint32_t &key) { return {sizeof(ShmHeader), header_fits, &key}; }

// The record behind a segment handle: the segment's descriptor and mapping.
struct SegmentRecord {
    HandleHeader header;
    int fd;
    void *view;
};

// The record of handle when area is the area it maps. Shared by
// XFreeShrMemory and XCloseShrMemory, which record under one code.
Status segment_of(void *area, XHANDLE handle, SegmentRecord **out) {
    if (area == nullptr) return lib_status(FN_XFreeShrMemory, R_XFreeShrMemory_BAD_ARGUMENT, 1);
    auto *rec = handle_as<SegmentRecord>(handle, HandleKind::segment);
    if (rec == nullptr) return lib_status(FN_XFreeShrMemory, R_XFreeShrMemory_BAD_ARGUMENT, 2);
    if (static_cast<char *>(area) - sizeof(ShmHeader) != rec->view)
        return lib_status(FN_XFreeShrMemory, R_XFreeShrMemory_BAD_ARGUMENT, 1);
    *out = rec;
    return {};
}

Status detach(SegmentRecord *rec) {
    int fd = rec->fd;
    (void)os::shm_unmap(fd, rec->view);
    handle_free(rec);
    if (int err = os::shm_close(fd))
        return sys_status(FN_XFreeShrMemory, R_XFreeShrMemory_CLOSE_FAILED, err);
    return {};
}

}  // namespace

Status zax::open_segment(uint32_t key, XHANDLE *handle_out, void **area) {
    Name name(key);
    uint32_t values[2];
    if (Status s = vector_get(name.text, values); s.failed()) return s;
    auto *rec = handle_try_new<SegmentRecord>(HandleKind::segment);
    if (rec == nullptr) return sys_status(FN_XAllocMemory, R_XAllocMemory_NO_MEMORY, ENOMEM);
    os::ShmSegment seg;
    if (int err = os::no_throw([&] { return os::shm_open(name.text, layout_of(key), &seg); })) {
        handle_free(rec);
        return sys_status(FN_XOpenShrMemory,
                          seg.mapping_failed ? R_XOpenShrMemory_MAP_FAILED : R_XOpenShrMemory_OPEN_FAILED,
                          err);
    }
    rec->fd = seg.fd;
    rec->view = seg.view;
    *handle_out = rec;
    *area = static_cast<char *>(seg.view) + sizeof(ShmHeader);
    return {};
}

Status zax::free_segment(void *area, XHANDLE handle) {
    SegmentRecord *rec = nullptr;
    if (Status s = segment_of(area, handle, &rec); s.failed()) return s;
    Name name(static_cast<const ShmHeader *>(rec->view)->key);
    if (Status s = vector_reset(name.text); s.failed()) return s;
    (void)os::no_throw([&] { return os::shm_remove(name.text, rec->fd); });
    return detach(rec);
}

Status zax::close_segment(void *area, XHANDLE handle) {
    SegmentRecord *rec = nullptr;
    if (Status s = segment_of(area, handle, &rec); s.failed()) return s;
    return detach(rec);
}

extern "C" {

XAPI void *XAllocShrMemory(XHANDLE *handle_out, uint32_t size, uint32_t key, uint32_t tag1,
                           uint32_t tag2) {
    if (handle_out == nullptr) {
        lib_error(FN_XAllocShrMemory, R_XAllocShrMemory_BAD_ARGUMENT, 1);
        return X_FAILED_PTR;
    }
    if (size == 0) {
        lib_error(FN_XAllocShrMemory, R_XAllocShrMemory_BAD_ARGUMENT, 2);
        return X_FAILED_PTR;
    }
    if (key == 0) {
        lib_error(FN_XAllocShrMemory, R_XAllocShrMemory_BAD_ARGUMENT, 3);
        return X_FAILED_PTR;
    }
    Name name(key);
    uint32_t values[2];
    // Only "no such entry" means the key is free; an unreachable service
    // fails with its own error.
    Status lookup = vector_get(name.text, values);
    if (!lookup.failed()) lookup = lib_status(FN_XAllocShrMemory, R_XAllocShrMemory_KEY_IN_USE, 0);
    if (lookup.code != code_of(FN_XGetVectorTableEx, R_XGetVectorTableEx_NO_ENTRY)) {
        record_failure(lookup);
        return X_FAILED_PTR;
    }

    // The total size is a 32-bit field of the header.
    if (size > UINT32_MAX - sizeof(ShmHeader)) {
        sys_error(FN_XAllocShrMemory, R_XAllocShrMemory_CREATE_FAILED, EINVAL);
        return X_FAILED_PTR;
    }
    HeaderInit init{uint32_t(size + sizeof(ShmHeader)), key, uint8_t(tag1), uint8_t(tag2)};
    auto *rec = handle_new<SegmentRecord>(HandleKind::segment);
    if (rec == nullptr) return X_FAILED_PTR;
    os::ShmSegment seg;
    // A segment of this key that processes still use (its key lost from a
    // restarted initiator service's table) is attached, header and contents
    // as they stand, and its key registered again.
    if (int err = os::no_throw([&] {
            return os::shm_create(name.text, init.total, layout_of(key), write_header, &init, &seg);
        })) {
        sys_error(FN_XAllocShrMemory,
                  seg.mapping_failed ? R_XAllocShrMemory_MAP_FAILED : R_XAllocShrMemory_CREATE_FAILED,
                  err);
        handle_free(rec);
        return X_FAILED_PTR;
    }
    char *area = static_cast<char *>(seg.view) + sizeof(ShmHeader);
    // The table keeps 32-bit values: the low half of the area's address (never
    // 0, the area sits 16 bytes into a page) and the size.
    uint32_t area_size = uint32_t(seg.size - sizeof(ShmHeader));
    if (!XSetVectorTable(name.text, uint32_t(reinterpret_cast<uintptr_t>(area)), area_size)) {
        // A segment that others use keeps its name.
        if (!seg.attached) (void)os::no_throw([&] { return os::shm_remove(name.text, seg.fd); });
        (void)os::shm_unmap(seg.fd, seg.view);
        (void)os::shm_close(seg.fd);
        handle_free(rec);
        return X_FAILED_PTR;
    }
    rec->fd = seg.fd;
    rec->view = seg.view;
    *handle_out = rec;
    record_failure(lookup);  // a success leaves the lookup's "no such entry"
    return area;
}

XAPI void *XOpenShrMemory(XHANDLE *handle_out, uint32_t key) {
    if (handle_out == nullptr) {
        lib_error(FN_XOpenShrMemory, R_XOpenShrMemory_BAD_ARGUMENT, 1);
        return X_FAILED_PTR;
    }
    if (key == 0) {
        lib_error(FN_XOpenShrMemory, R_XOpenShrMemory_BAD_ARGUMENT, 2);
        return X_FAILED_PTR;
    }
    void *area = X_FAILED_PTR;
    Status s = open_segment(key, handle_out, &area);
    if (s.failed()) record_failure(s);
    return area;
}

XAPI int32_t XFreeShrMemory(void *area, XHANDLE handle) {
    return recorded(free_segment(area, handle));
}

XAPI int32_t XCloseShrMemory(void *area, XHANDLE handle) {
    return recorded(close_segment(area, handle));
}

}  // extern "C"

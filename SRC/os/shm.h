// Shared memory segments: files of the run-time directory mapped MAP_SHARED.
// Every descriptor of a segment holds a shared flock on it, so a segment is in
// use exactly while some process has it open; a file that nobody holds is a
// leftover of processes that died. Removing a segment's file frees its name at
// once; mappings that processes still hold stay valid until they unmap.
#pragma once
#include <cstddef>
#include <string>

namespace zax::os {

// What a segment's file must start with, checked on a read of its first
// head_size bytes before the file is mapped: valid(head, file_size, arg).
struct ShmLayout {
    size_t head_size;
    bool (*valid)(const void *head, size_t file_size, const void *arg);
    const void *arg;
};

// A segment as this process holds it.
struct ShmSegment {
    int fd = -1;                  // 3 or higher
    void *view = nullptr;         // all of the segment, mapped
    size_t size = 0;              // its size in bytes
    bool attached = false;        // shm_create: the segment existed already
    bool mapping_failed = false;  // on a failure: the file was opened or made, not mapped
};

// Create segment name of size bytes, or attach to it when a process uses a
// segment of that name already (attached, with the existing segment's size).
// A new segment is zero-filled, its storage reserved at once (ENOSPC when the
// file system cannot hold it), filled by init before anyone can open it, and
// replaces a leftover file of that name. An existing segment must fit layout
// (else EPROTO) and hold at least size bytes (else EEXIST). 0 with *out, or
// errno with out's mapping_failed.
[[nodiscard]] int shm_create(const std::string &name, size_t size, const ShmLayout &layout,
                             void (*init)(void *view, void *arg), void *arg, ShmSegment *out);
// Open and map an existing segment, all of it, once its owner, mode and head
// check out. 0 with *out, or errno with out's mapping_failed (ENOENT when
// there is none, EPROTO when the file does not fit layout, EPERM when its
// owner or mode does not fit the sharing mode).
[[nodiscard]] int shm_open(const std::string &name, const ShmLayout &layout, ShmSegment *out);
// Unmap the view of the segment open on fd (its size is the file's).
[[nodiscard]] int shm_unmap(int fd, void *view);
// Close a segment descriptor; 0 or errno.
[[nodiscard]] int shm_close(int fd);
// Remove the segment's name when it still names the segment open on fd (a
// new segment of the same name is left alone); 0 or errno.
[[nodiscard]] int shm_remove(const std::string &name, int fd);

}  // namespace zax::os

// Shared memory segments: files of the run-time directory mapped MAP_SHARED.
// Removing a segment's file frees its name at once; mappings that processes
// still hold stay valid until they unmap.
#pragma once
#include <cstddef>
#include <string>

namespace zax::os {

// Create segment name of size bytes (zero-filled, storage reserved at once:
// ENOSPC when the file system cannot hold it), mapped read-write, and let
// init fill it before anyone can open it: the file is built under a
// temporary name and renamed into place, replacing a file left by a process
// that died. 0 or errno; on success fd (3 or higher) and view are set. On
// failure, mapping_failed tells whether the file was made but not mapped.
int shm_create(const std::string &name, size_t size, void (*init)(void *view, void *arg),
               void *arg, int &fd, void *&view, bool &mapping_failed);
// Open and map an existing segment, all of it. 0 or errno (ENOENT when there
// is none); on success fd, view and size are set. On failure, mapping_failed
// tells whether the file was opened but not mapped.
int shm_open(const std::string &name, int &fd, void *&view, size_t &size, bool &mapping_failed);
// Unmap the view of the segment open on fd (its size is the file's).
int shm_unmap(int fd, void *view);
// Close a segment descriptor; 0 or errno.
int shm_close(int fd);
// Remove the segment's name when it still names the segment open on fd (a
// new segment of the same name is left alone); 0 or errno.
int shm_remove(const std::string &name, int fd);

}  // namespace zax::os

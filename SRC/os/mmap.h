// Memory-mapped files and the lock files that give one opener exclusive use.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zax::os {

// Map size bytes of fd from offset 0, shared with every other process that
// maps the file (through the page cache). 0 and addr, or an errno.
[[nodiscard]] int map_file(int32_t fd, size_t size, bool writable, void **addr);
// Remove the mapping; 0 or an errno.
[[nodiscard]] int unmap_file(void *addr, size_t size);
// Write the mapping's changed pages to the file and wait; 0 or an errno.
[[nodiscard]] int sync_mapping(void *addr, size_t size);

// Open the lock file called name in the run-time directory (created with the
// sharing mode's access when missing; a name longer than the file system
// allows is shortened by a stable hash) and take its exclusive whole-file
// lock (file_lock) without waiting. The lock belongs to *fd and ends when it
// is closed, also when the process dies. 0 with *fd; EAGAIN when another
// opener holds it; another errno when the file cannot be opened (*open_failed
// is then true).
[[nodiscard]] int lock_file_acquire(const char *name, int32_t *fd, bool *open_failed);
// Release the lock and close the file; 0 or an errno.
[[nodiscard]] int lock_file_release(int32_t fd);

}  // namespace zax::os

// Files: descriptors, whole-file locks, sizes and directory searches.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zax::os {

// How an existing or missing file is treated by file_open.
enum class Disposition { open_existing, create_new, truncate_existing, create_always };

// Open path for reading only (write = false) or for reading and writing.
// The descriptor is close-on-exec and never below 3, so that 0 can mean "no
// file" and the standard streams stay distinct. New files get mode 0666 less
// the umask. A directory is refused with EISDIR. Returns 0 and sets fd, or an
// errno.
[[nodiscard]] int file_open(const char *path, bool write, Disposition disp, int32_t *fd);
// Close; 0 or an errno (EINTR counts as closed: Linux has released the
// descriptor already).
[[nodiscard]] int file_close(int32_t fd);
// One read of up to count bytes (retried on EINTR); 0 and got, or an errno.
[[nodiscard]] int file_read(int32_t fd, void *buffer, size_t count, size_t *got);
// Write all count bytes (short writes continue); 0 and put, or an errno with
// put holding what was written before the failure.
[[nodiscard]] int file_write(int32_t fd, const void *buffer, size_t count, size_t *put);
// lseek with whence 0 (start), 1 (current) or 2 (end); 0 and pos, or an errno.
[[nodiscard]] int file_seek(int32_t fd, int64_t offset, int whence, int64_t *pos);
// Cut the file at length; 0 or an errno.
[[nodiscard]] int file_truncate(int32_t fd, int64_t length);
// Write the file's data to the device; 0 or an errno.
[[nodiscard]] int file_sync(int32_t fd);
// Size of what fd names; regular is false for pipes, sockets, terminals and
// devices (size is then 0). 0 or an errno.
[[nodiscard]] int file_size(int32_t fd, int64_t *size, bool *regular);
// The library's one kind of whole-file lock: an exclusive flock(2), owned by
// the descriptor's open file (not the process), whatever the descriptor's
// access, so two read-only openers keep each other out too. wait = true
// blocks until granted, false fails at once with EAGAIN when another holder
// has it. 0 or an errno.
[[nodiscard]] int file_lock(int32_t fd, bool wait);
// Release the whole-file lock; 0 or an errno.
[[nodiscard]] int file_unlock(int32_t fd);
// Remove the file; 0 or an errno.
[[nodiscard]] int file_delete(const char *path);
// 0 when path names something (following symbolic links), else the errno of
// looking it up (ENOENT when nothing has the name).
[[nodiscard]] int file_exists(const char *path);
// Make the directory path and any missing parents with mode (less the
// umask); 0 when it exists already as a directory, ENOTDIR when something
// else has the name, or an errno.
[[nodiscard]] int make_dirs(const std::string &path, uint32_t mode);

// Whether path still names the file open on fd (the same device and inode,
// following symbolic links): a holder of a whole-file lock checks it after
// the lock is granted, since a replacement (below) may have put another file
// under the name while it waited. 0 with same set (false also when nothing
// has the name any more), or an errno.
[[nodiscard]] int file_is_named(int32_t fd, const char *path, bool *same);

// Replacing a file's content whole (a saved list, a rewritten parameter
// file), so that a failure part-way (a full disk, the death of the process)
// leaves the old content:
// - replace_open makes the new file beside the old one (in the directory of
//   the file that path finally names, under that name with ".<pid>.<n>.new"
//   added), with the old file's mode, and its owner and group where the
//   caller may give them; old_fd is the old file, open for writing, whose
//   lock the caller holds. Where no file can be made there (a directory the
//   caller may not write, a name too long for a suffix), the old file itself
//   is written instead: fd is then old_fd, moved to its start.
// - replace_reserve reserves size bytes for the new content, so that a full
//   disk fails here, before anything is written (in place: before the old
//   content is touched, and the old size is put back).
// - The caller writes the new content to fd, then replace_commit makes it
//   durable (fdatasync) and renames the new file over the name (in place:
//   cuts the file at size). The name then denotes the new file: other
//   holders of the old file's lock see that with file_is_named.
// Each returns 0 or an errno. A Replacement that goes without a commit that
// succeeded removes its new file (the old one stays as it was).
struct Replacement {
    int32_t fd = -1;      // where the new content goes
    int64_t size = 0;     // what replace_reserve was given
    int64_t old_size = 0; // the old file's size
    bool in_place = false;
    std::string path;     // the name the new file takes
    std::string temp;     // the new file's own name until then

    Replacement() = default;
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;
    ~Replacement();
};
// r is a new Replacement.
[[nodiscard]] int replace_open(const char *path, int32_t old_fd, Replacement *r);
[[nodiscard]] int replace_reserve(Replacement *r, int64_t size);
[[nodiscard]] int replace_commit(Replacement *r);

// A plain file named name in the run-time directory that stands beside a
// named object (a list load's record), open for reading and writing: made
// when missing and create is set (with the mode of the sharing mode), else
// ENOENT; an existing one must be a regular file of the sharing mode's owner
// and mode (EPROTO, EPERM), and a symbolic link is refused. Such files are
// emptied, never removed, so that any user of the sharing scope can clear
// what another left (a sticky directory lets only the owner remove).
// 0 and fd, or an errno.
[[nodiscard]] int object_file_open(const std::string &name, bool create, int32_t *fd);

// Whether a glob(3) pattern matches anything: 0 with found set, or an errno
// when the search failed. For an absence, absent_errno tells ENOENT from
// ENOTDIR when a path component is missing or not a directory.
[[nodiscard]] int file_glob_exists(const char *pattern, bool *found, int *absent_errno);

// The absolute form of path, as the working directory completes it, with
// ".", ".." and repeated "/" folded away lexically (no symbolic links are
// followed and the file need not exist). out has capacity bytes; 0, or an
// errno (ENAMETOOLONG when the result does not fit).
[[nodiscard]] int full_path(const char *path, char *out, size_t capacity);

}  // namespace zax::os

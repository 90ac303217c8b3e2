#include "os/file.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "os/syscall.h"

namespace zax::os {
namespace {

// Moves a descriptor that landed on 0, 1 or 2 (the caller closed a standard
// stream) above them, keeping close-on-exec.
int lift_descriptor(int &fd) {
    if (fd >= 3) return 0;
    int up = sys::dup_above(fd, 3);
    int err = up < 0 ? errno : 0;
    sys::close(fd);
    if (up < 0) return err;
    fd = up;
    return 0;
}

// The first directory that a search could not read, with why; glob's error
// callback has no context argument.
thread_local int t_glob_error = 0;

int note_glob_error(const char *, int err) {
    if (t_glob_error == 0 && err != ENOENT && err != ENOTDIR) t_glob_error = err;
    return 0;  // go on searching: another directory may still match
}

int flock_call(int fd, int op) {
    int r = sys::retry([&] { return sys::flock(fd, op); });
    if (r == 0) return 0;
    // A conflict of a non-waiting request; some file systems say EACCES.
    return errno == EWOULDBLOCK || errno == EACCES ? EAGAIN : errno;
}

}  // namespace

int file_open(const char *path, bool write, Disposition disp, int32_t &fd) {
    int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
    if (disp == Disposition::create_new) flags |= O_CREAT | O_EXCL;
    if (disp == Disposition::truncate_existing) flags |= O_TRUNC;
    int f = sys::retry([&] { return sys::open(path, flags, 0666); });
    if (f < 0) return errno;
    // A directory opens for reading on Linux, but is no file to read or lock.
    struct stat st;
    if (sys::fstat(f, &st) == 0 && S_ISDIR(st.st_mode)) {
        sys::close(f);
        return EISDIR;
    }
    if (int err = lift_descriptor(f)) return err;
    fd = f;
    return 0;
}

int file_close(int32_t fd) {
    if (sys::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

int file_read(int32_t fd, void *buffer, size_t count, size_t &got) {
    ssize_t n = sys::retry([&] { return sys::read(fd, buffer, count); });
    if (n < 0) return errno;
    got = size_t(n);
    return 0;
}

int file_write(int32_t fd, const void *buffer, size_t count, size_t &put) {
    put = 0;
    const char *p = static_cast<const char *>(buffer);
    while (put < count) {
        ssize_t n = sys::write(fd, p + put, count - put);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        put += size_t(n);
    }
    return 0;
}

int file_seek(int32_t fd, int64_t offset, int whence, int64_t &pos) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    off_t r = sys::lseek(fd, off_t(offset), kWhence[whence]);
    if (r < 0) return errno;
    pos = int64_t(r);
    return 0;
}

int file_truncate(int32_t fd, int64_t length) {
    int r = sys::retry([&] { return sys::ftruncate(fd, off_t(length)); });
    return r == 0 ? 0 : errno;
}

int file_sync(int32_t fd) {
    int r = sys::retry([&] { return sys::fsync(fd); });
    return r == 0 ? 0 : errno;
}

int file_size(int32_t fd, int64_t &size, bool &regular) {
    struct stat st;
    if (sys::fstat(fd, &st) != 0) return errno;
    regular = S_ISREG(st.st_mode);
    size = regular ? int64_t(st.st_size) : 0;
    return 0;
}

int file_lock(int32_t fd, bool wait) { return flock_call(fd, LOCK_EX | (wait ? 0 : LOCK_NB)); }

int file_unlock(int32_t fd) { return flock_call(fd, LOCK_UN); }

int file_delete(const char *path) { return sys::unlink(path) == 0 ? 0 : errno; }

int file_glob_exists(const char *pattern, bool &found, int &absent_errno) {
    glob_t g{};
    found = false;
    absent_errno = ENOENT;
    t_glob_error = 0;
    int r = ::glob(pattern, GLOB_NOSORT, note_glob_error, &g);
    ::globfree(&g);
    if (r == 0) {
        found = true;
        return 0;
    }
    if (r == GLOB_NOSPACE) return ENOMEM;
    // No match. A directory that could not be read (EACCES and the like) makes
    // it a failure of the search rather than an absence.
    if (t_glob_error != 0) return t_glob_error;
    // For a plain name (no pattern characters) the system can tell why: a
    // missing file, a missing directory, or one we may not search.
    if (std::strpbrk(pattern, "*?[") == nullptr) {
        struct stat st;
        if (sys::lstat(pattern, &st) == 0) {  // a link to nothing is still an entry
            found = true;
            return 0;
        }
        if (errno != ENOENT && errno != ENOTDIR) return errno;
        absent_errno = errno;
    }
    return 0;
}

int full_path(const char *path, char *out, size_t capacity) {
    // Work in a buffer large enough for the working directory and the name.
    char buf[PATH_MAX * 2];
    size_t len = 0;
    if (path[0] != '/') {
        if (::getcwd(buf, PATH_MAX) == nullptr) return errno;
        len = std::strlen(buf);
    }
    size_t plen = std::strlen(path);
    if (len + 1 + plen + 1 > sizeof buf) return ENAMETOOLONG;
    buf[len++] = '/';
    std::memcpy(buf + len, path, plen + 1);

    // Fold the components into out.
    char res[PATH_MAX * 2];
    size_t rlen = 0;
    const char *p = buf;
    while (*p != '\0') {
        while (*p == '/') ++p;
        const char *start = p;
        while (*p != '\0' && *p != '/') ++p;
        size_t n = size_t(p - start);
        if (n == 0 || (n == 1 && start[0] == '.')) continue;
        if (n == 2 && start[0] == '.' && start[1] == '.') {
            while (rlen > 0 && res[rlen - 1] != '/') --rlen;
            if (rlen > 0) --rlen;  // the "/" before the dropped component
            continue;
        }
        res[rlen++] = '/';
        std::memcpy(res + rlen, start, n);
        rlen += n;
    }
    if (rlen == 0) res[rlen++] = '/';
    if (rlen + 1 > capacity) return ENAMETOOLONG;
    std::memcpy(out, res, rlen);
    out[rlen] = '\0';
    return 0;
}

}  // namespace zax::os

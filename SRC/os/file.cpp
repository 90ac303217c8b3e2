#include "os/file.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "os/own.h"
#include "os/rundir.h"
#include "os/syscall.h"

namespace zax::os {
namespace {

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

int file_open(const char *path, bool write, Disposition disp, int32_t *fd) {
    int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY;
    if (disp == Disposition::create_new) flags |= O_CREAT | O_EXCL;
    if (disp == Disposition::truncate_existing) flags |= O_TRUNC;
    if (disp == Disposition::create_always) flags |= O_CREAT | O_TRUNC;
    Fd f;
    if (int err = open_fd(path, flags, 0666, &f)) return err;
    // A directory opens for reading on Linux, but is no file to read or lock.
    struct stat st;
    if (sys::fstat(f.get(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    *fd = f.release();
    return 0;
}

int file_close(int32_t fd) { return Fd(fd).close(); }

int file_read(int32_t fd, void *buffer, size_t count, size_t *got) {
    ssize_t n = sys::retry([&] { return sys::read(fd, buffer, count); });
    if (n < 0) return errno;
    *got = size_t(n);
    return 0;
}

int file_write(int32_t fd, const void *buffer, size_t count, size_t *put) {
    *put = 0;
    const char *p = static_cast<const char *>(buffer);
    while (*put < count) {
        ssize_t n = sys::retry([&] { return sys::write(fd, p + *put, count - *put); });
        if (n < 0) return errno;
        if (n == 0) return EIO;
        *put += size_t(n);
    }
    return 0;
}

int file_seek(int32_t fd, int64_t offset, int whence, int64_t *pos) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    off_t r = sys::lseek(fd, off_t(offset), kWhence[whence]);
    if (r < 0) return errno;
    *pos = int64_t(r);
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

int file_size(int32_t fd, int64_t *size, bool *regular) {
    struct stat st;
    if (sys::fstat(fd, &st) != 0) return errno;
    *regular = S_ISREG(st.st_mode);
    *size = *regular ? int64_t(st.st_size) : 0;
    return 0;
}

int file_lock(int32_t fd, bool wait) { return flock_call(fd, LOCK_EX | (wait ? 0 : LOCK_NB)); }

int file_unlock(int32_t fd) { return flock_call(fd, LOCK_UN); }

int file_delete(const char *path) { return sys::unlink(path) == 0 ? 0 : errno; }

int file_exists(const char *path) {
    struct stat st;
    return sys::stat(path, &st) == 0 ? 0 : errno;
}

int make_dirs(const std::string &path, uint32_t mode) {
    struct stat st;
    if (sys::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT) return errno;
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        if (int err = make_dirs(path.substr(0, slash), mode)) return err;
    if (sys::mkdir(path.c_str(), mode_t(mode)) != 0 && errno != EEXIST) return errno;
    return 0;
}

int file_is_named(int32_t fd, const char *path, bool *same) {
    struct stat mine, named;
    if (sys::fstat(fd, &mine) != 0) return errno;
    *same = false;
    if (sys::stat(path, &named) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    *same = mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
    return 0;
}

int replace_open(const char *path, int32_t old_fd, Replacement *r) {
    struct stat st;
    if (sys::fstat(old_fd, &st) != 0) return errno;
    // A symbolic link stays a link: the file it leads to is replaced.
    char real[PATH_MAX];
    if (::realpath(path, real) == nullptr) return errno;
    r->old_size = int64_t(st.st_size);
    try {
        r->path = real;
        static std::atomic<unsigned> counter{0};
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%d.%u.new", int(getpid()), counter++);
        r->temp = r->path + suffix;
    } catch (...) {
        return ENOMEM;
    }
    Fd fd(sys::retry([&] {
        return sys::open(r->temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (!fd) {
        int err = errno;
        if (err != EACCES && err != EPERM && err != ENAMETOOLONG) return err;
        off_t at = sys::lseek(old_fd, 0, SEEK_SET);
        if (at != 0) return errno;
        r->fd = old_fd;
        r->in_place = true;
        return 0;
    }
    TempName made(r->temp);
    if (int err = lift(fd)) return err;
    // The new file takes the old one's place: its mode, and its owner and
    // group when the caller may give them (else the caller's own).
    if (st.st_uid != geteuid() || st.st_gid != getegid())
        (void)sys::fchown(fd.get(), st.st_uid, st.st_gid);
    if (sys::fchmod(fd.get(), st.st_mode & 07777) != 0) return errno;
    made.keep();
    r->fd = fd.release();
    return 0;
}

int replace_reserve(Replacement *r, int64_t size) {
    r->size = size;
    if (size <= 0) return 0;
    int err = sys::retry_err([&] { return sys::posix_fallocate(r->fd, 0, off_t(size)); });
    // A file system that cannot reserve still takes the writes.
    if (err == EOPNOTSUPP) return 0;
    // The reservation may have grown the old file: it keeps its size.
    if (err != 0 && r->in_place) sys::ftruncate(r->fd, off_t(r->old_size));
    return err;
}

int replace_commit(Replacement *r) {
    if (r->in_place) {
        int fd = std::exchange(r->fd, -1);
        if (sys::retry([&] { return sys::ftruncate(fd, off_t(r->size)); }) != 0) return errno;
        return sys::retry([&] { return sys::fdatasync(fd); }) != 0 ? errno : 0;
    }
    Fd fd(std::exchange(r->fd, -1));
    TempName made(r->temp);
    if (sys::retry([&] { return sys::fdatasync(fd.get()); }) != 0) return errno;
    if (sys::rename(r->temp.c_str(), r->path.c_str()) != 0) return errno;
    made.keep();
    return 0;
}

Replacement::~Replacement() {
    if (fd < 0 || in_place) return;  // committed, never made, or the caller's own file
    Fd unused(fd);
    TempName made(temp);
}

int object_file_open(const std::string &name, bool create, int32_t *fd) {
    std::string path;
    Sharing sharing;
    try {
        if (int err = object_path(name, &path, &sharing)) return err;
    } catch (...) {
        return ENOMEM;
    }
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    Fd f;
    int err = open_fd(path.c_str(), flags, 0, &f);
    bool made = false;
    if (err == ENOENT && create) {
        err = open_fd(path.c_str(), flags | O_CREAT | O_EXCL, 0600, &f);
        made = err == 0;
        // Another process made it first: open that one.
        if (err == EEXIST) err = open_fd(path.c_str(), flags, 0, &f);
    }
    if (err != 0) return err == ELOOP ? EPERM : err;
    err = made ? object_set_access(f.get(), sharing) : object_check(f.get(), S_IFREG, sharing);
    if (err != 0) return err;
    *fd = f.release();
    return 0;
}

int file_glob_exists(const char *pattern, bool *found, int *absent_errno) {
    glob_t g{};
    *found = false;
    *absent_errno = ENOENT;
    t_glob_error = 0;
    int r = ::glob(pattern, GLOB_NOSORT, note_glob_error, &g);
    ::globfree(&g);
    if (r == 0) {
        *found = true;
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
            *found = true;
            return 0;
        }
        if (errno != ENOENT && errno != ENOTDIR) return errno;
        *absent_errno = errno;
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

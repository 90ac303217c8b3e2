#include "os/shm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/rundir.h"

namespace zax::os {
namespace {

// Rounds of "the name now names another file: look again" before giving up.
constexpr int kAttempts = 100;
// How long an opener waits for a creator to finish replacing a leftover
// file (a creator holds its exclusive lock only while it builds).
constexpr long kLockWaitMs = 10000;

// Segment descriptors stay clear of 0-2 so that a handle is never null.
int move_up(int fd) {
    if (fd < 0 || fd >= 3) return fd;
    int up = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    errno = err;
    return up;
}

int open_segment(const std::string &path) {
    int fd;
    do fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    return move_up(fd);
}

int close_with(int fd, int err) {
    close(fd);
    return err;
}

// A shared lock on fd, waiting (boundedly) while a creator holds its
// exclusive one; 0, EBUSY when it is still held after the wait, or errno.
int lock_shared(int fd) {
    for (long waited = 0;; waited += 2) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (waited >= kLockWaitMs) return EBUSY;
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
}

// Whether path still names the file open on fd.
bool names(const std::string &path, int fd) {
    struct stat mine, named;
    return fstat(fd, &mine) == 0 && lstat(path.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// Checks the segment file open on fd (a regular file of the sharing mode's
// owner and mode, whose head fits layout) and maps all of it.
int check_and_map(int fd, const Sharing &sharing, const ShmLayout &layout, void *&view,
                  size_t &size, bool &mapping_failed) {
    struct stat st;
    if (int err = object_check(fd, S_IFREG, sharing, &st)) return err;
    size_t file_size = size_t(st.st_size);
    if (file_size < layout.head_size) return EPROTO;
    std::string head(layout.head_size, '\0');
    if (pread(fd, head.data(), head.size(), 0) != ssize_t(head.size()) ||
        !layout.valid(head.data(), file_size, layout.arg))
        return EPROTO;
    void *v = mmap(nullptr, file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (v == MAP_FAILED) {
        mapping_failed = true;
        return errno;
    }
    view = v;
    size = file_size;
    return 0;
}

// Builds a new segment under a temporary name: access, size, storage, the
// mapping, init, and the shared lock of its creator. 0 with fd, view and tmp,
// or errno (nothing left behind).
int build(const std::string &path, const Sharing &sharing, size_t size,
          void (*init)(void *, void *), void *arg, int &fd, void *&view, std::string &tmp,
          bool &mapping_failed) {
    tmp = temp_name(path);
    int f;
    do f = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    while (f < 0 && errno == EINTR);
    f = move_up(f);
    if (f < 0) return errno;
    int err = object_set_access(f, sharing);
    if (err == 0 && ftruncate(f, off_t(size)) != 0) err = errno;
    // Committed at once: the storage is reserved now, so a full file system
    // fails the creation instead of a later touch of the area raising SIGBUS.
    if (err == 0)
        while ((err = posix_fallocate(f, 0, off_t(size))) == EINTR) {
        }
    if (err == 0 && flock(f, LOCK_SH) != 0) err = errno;
    void *v = MAP_FAILED;
    if (err == 0) {
        v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
        if (v == MAP_FAILED) {
            err = errno;
            mapping_failed = true;
        }
    }
    if (err != 0) {
        close(f);
        unlink(tmp.c_str());
        return err;
    }
    if (init != nullptr) init(v, arg);
    fd = f;
    view = v;
    return 0;
}

void discard(int fd, void *view, size_t size, const std::string &tmp) {
    munmap(view, size);
    close(fd);
    unlink(tmp.c_str());
}

}  // namespace

int shm_create(const std::string &name, size_t &size, const ShmLayout &layout,
               void (*init)(void *, void *), void *arg, int &fd, void *&view, bool &attached,
               bool &mapping_failed) {
    mapping_failed = false;
    attached = false;
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, path, &sharing)) return err;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int old = open_segment(path);
        if (old < 0 && errno != ENOENT) return errno;
        if (old >= 0) {
            if (int err = object_check(old, S_IFREG, sharing)) return close_with(old, err);
            if (flock(old, LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK) return close_with(old, errno);
                // Some process uses it: attach, as to a named mapping that
                // exists already.
                if (int err = lock_shared(old)) return close_with(old, err);
                if (!names(path, old)) {
                    close(old);
                    continue;
                }
                size_t have = 0;
                if (int err = check_and_map(old, sharing, layout, view, have, mapping_failed))
                    return close_with(old, err);
                if (have < size) {
                    munmap(view, have);
                    return close_with(old, EEXIST);
                }
                fd = old;
                size = have;
                attached = true;
                return 0;
            }
            // Nobody holds it: a leftover of processes that died, replaced
            // below while this lock keeps creators and openers off it.
            if (!names(path, old)) {
                close(old);
                continue;
            }
        }
        int f = -1;
        void *v = nullptr;
        std::string tmp;
        if (int err = build(path, sharing, size, init, arg, f, v, tmp, mapping_failed)) {
            if (old >= 0) close(old);
            return err;
        }
        int err = 0;
        if (old >= 0) {
            if (rename(tmp.c_str(), path.c_str()) != 0) err = errno;
            close(old);
        } else if (link(tmp.c_str(), path.c_str()) != 0) {
            err = errno;
        } else {
            unlink(tmp.c_str());
        }
        if (err == EEXIST) {
            // Another creator was faster: attach to its segment.
            discard(f, v, size, tmp);
            continue;
        }
        if (err != 0) {
            discard(f, v, size, tmp);
            return err;
        }
        fd = f;
        view = v;
        return 0;
    }
    return EAGAIN;
}

int shm_open(const std::string &name, const ShmLayout &layout, int &fd, void *&view,
             size_t &size, bool &mapping_failed) {
    mapping_failed = false;
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, path, &sharing)) return err;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int f = open_segment(path);
        if (f < 0) return errno;
        if (int err = object_check(f, S_IFREG, sharing)) return close_with(f, err);
        if (int err = lock_shared(f)) return close_with(f, err);
        if (!names(path, f)) {
            // Replaced as a leftover while this opener waited: the name
            // holds the new segment.
            close(f);
            continue;
        }
        if (int err = check_and_map(f, sharing, layout, view, size, mapping_failed))
            return close_with(f, err);
        fd = f;
        return 0;
    }
    return EAGAIN;
}

int shm_unmap(int fd, void *view) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    return munmap(view, size_t(st.st_size)) == 0 ? 0 : errno;
}

int shm_close(int fd) { return close(fd) == 0 ? 0 : errno; }

int shm_remove(const std::string &name, int fd) {
    std::string path;
    if (int err = object_path(name, path)) return err;
    struct stat mine, named;
    if (fstat(fd, &mine) != 0) return errno;
    if (stat(path.c_str(), &named) != 0) return errno;
    if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) return 0;
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace zax::os

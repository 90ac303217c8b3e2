#include "os/shm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "os/own.h"
#include "os/rundir.h"
#include "os/syscall.h"

namespace zax::os {
namespace {

// Rounds of "the name now names another file: look again" before giving up.
constexpr int kAttempts = 100;
// How long an opener waits for a creator to finish replacing a leftover
// file (a creator holds its exclusive lock only while it builds).
constexpr long kLockWaitMs = 10000;

int open_segment(const std::string &path, Fd *out) {
    return open_fd(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0, out);
}

// A shared lock on fd, waiting (boundedly) while a creator holds its
// exclusive one; 0, EBUSY when it is still held after the wait, or errno.
int lock_shared(int fd) {
    for (long waited = 0;; waited += 2) {
        if (sys::flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (waited >= kLockWaitMs) return EBUSY;
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
}

// Whether path still names the file open on fd.
bool names(const std::string &path, int fd) {
    struct stat mine, named;
    return sys::fstat(fd, &mine) == 0 && sys::lstat(path.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// Checks the segment file open on fd (a regular file of the sharing mode's
// owner and mode, whose head fits layout) and maps all of it.
int check_and_map(int fd, const Sharing &sharing, const ShmLayout &layout, Map *view,
                  bool *mapping_failed) {
    struct stat st;
    if (int err = object_check(fd, S_IFREG, sharing, &st)) return err;
    size_t file_size = size_t(st.st_size);
    if (file_size < layout.head_size) return EPROTO;
    std::string head(layout.head_size, '\0');
    if (sys::pread(fd, head.data(), head.size(), 0) != ssize_t(head.size()) ||
        !layout.valid(head.data(), file_size, layout.arg))
        return EPROTO;
    int err = Map::of(fd, file_size, true, view);
    *mapping_failed = err != 0;
    return err;
}

// Builds a new segment under the name tmp: access, size, storage, the
// mapping, init, and the shared lock of its creator. 0 with fd and view, or
// errno (nothing left behind).
int build(const std::string &tmp, const Sharing &sharing, size_t size,
          void (*init)(void *, void *), void *arg, Fd *fd, Map *view, bool *mapping_failed) {
    Fd f(sys::retry([&] {
        return sys::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (!f) return errno;
    TempName made(tmp);
    int err = lift(f);
    if (err == 0) err = object_set_access(f.get(), sharing);
    if (err == 0 && sys::ftruncate(f.get(), off_t(size)) != 0) err = errno;
    // Committed at once: the storage is reserved now, so a full file system
    // fails the creation instead of a later touch of the area raising SIGBUS.
    if (err == 0) err = sys::retry_err([&] { return sys::posix_fallocate(f.get(), 0, off_t(size)); });
    if (err == 0 && sys::flock(f.get(), LOCK_SH) != 0) err = errno;
    if (err != 0) return err;
    Map v;
    if ((err = Map::of(f.get(), size, true, &v))) {
        *mapping_failed = true;
        return err;
    }
    if (init != nullptr) init(v.get(), arg);
    made.keep();
    *fd = std::move(f);
    *view = std::move(v);
    return 0;
}

// Hands a segment that is ready to the caller.
int hand_out(Fd *fd, Map *view, ShmSegment *out) {
    out->size = view->size();
    out->fd = fd->release();
    out->view = view->release();
    return 0;
}

}  // namespace

int shm_create(const std::string &name, size_t size, const ShmLayout &layout,
               void (*init)(void *, void *), void *arg, ShmSegment *out) {
    *out = ShmSegment{};
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, &path, &sharing)) return err;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd old;
        if (int err = open_segment(path, &old); err != 0 && err != ENOENT) return err;
        if (old) {
            if (int err = object_check(old.get(), S_IFREG, sharing)) return err;
            if (sys::flock(old.get(), LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK) return errno;
                // Some process uses it: attach, as to a named mapping that
                // exists already.
                if (int err = lock_shared(old.get())) return err;
                if (!names(path, old.get())) continue;
                Map m;
                if (int err = check_and_map(old.get(), sharing, layout, &m, &out->mapping_failed))
                    return err;
                if (m.size() < size) return EEXIST;
                out->attached = true;
                return hand_out(&old, &m, out);
            }
            // Nobody holds it: a leftover of processes that died, replaced
            // below while this lock keeps creators and openers off it.
            if (!names(path, old.get())) continue;
        }
        Fd f;
        Map v;
        std::string tmp = temp_name(path);
        if (int err = build(tmp, sharing, size, init, arg, &f, &v, &out->mapping_failed))
            return err;
        TempName made(tmp);  // gone once linked, or with the new segment
        int err = 0;
        if (old) {
            if (sys::rename(tmp.c_str(), path.c_str()) != 0)
                err = errno;
            else
                made.keep();
            old.reset();
        } else if (sys::link(tmp.c_str(), path.c_str()) != 0) {
            err = errno;
        }
        // Another creator was faster: attach to its segment.
        if (err == EEXIST) continue;
        if (err != 0) return err;
        return hand_out(&f, &v, out);
    }
    return EAGAIN;
}

int shm_open(const std::string &name, const ShmLayout &layout, ShmSegment *out) {
    *out = ShmSegment{};
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, &path, &sharing)) return err;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd f;
        if (int err = open_segment(path, &f)) return err;
        if (int err = object_check(f.get(), S_IFREG, sharing)) return err;
        if (int err = lock_shared(f.get())) return err;
        // Replaced as a leftover while this opener waited: the name holds
        // the new segment.
        if (!names(path, f.get())) continue;
        Map m;
        if (int err = check_and_map(f.get(), sharing, layout, &m, &out->mapping_failed))
            return err;
        return hand_out(&f, &m, out);
    }
    return EAGAIN;
}

int shm_unmap(int fd, void *view) {
    struct stat st;
    if (sys::fstat(fd, &st) != 0) return errno;
    return munmap(view, size_t(st.st_size)) == 0 ? 0 : errno;
}

int shm_close(int fd) { return Fd(fd).close(); }

int shm_remove(const std::string &name, int fd) {
    std::string path;
    if (int err = object_path(name, &path)) return err;
    struct stat mine, named;
    if (sys::fstat(fd, &mine) != 0) return errno;
    if (sys::stat(path.c_str(), &named) != 0) return errno;
    if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) return 0;
    return sys::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace zax::os

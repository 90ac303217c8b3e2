#include "os/shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "os/rundir.h"

namespace zax::os {
namespace {

// Segment descriptors stay clear of 0-2 so that a handle is never null.
int move_up(int fd) {
    if (fd < 0 || fd >= 3) return fd;
    int up = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    errno = err;
    return up;
}

int fail_close(int fd, const std::string &tmp) {
    int err = errno;
    close(fd);
    if (!tmp.empty()) unlink(tmp.c_str());
    return err;
}

}  // namespace

int shm_create(const std::string &name, size_t size, void (*init)(void *, void *), void *arg,
               int &fd, void *&view, bool &mapping_failed) {
    mapping_failed = false;
    std::string path;
    if (int err = object_path(name, path)) return err;
    static std::atomic<unsigned> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".tmp.%d.%u", int(getpid()), counter++);
    std::string tmp = path + suffix;
    int f = move_up(open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (f < 0) return errno;
    // The umask narrows the mode; every user of the machine may open it.
    if (fchmod(f, 0666) != 0 || ftruncate(f, off_t(size)) != 0) return fail_close(f, tmp);
    // Committed at once: the storage is reserved now, so a full file system
    // fails the creation instead of a later touch of the area raising SIGBUS.
    int reserved;
    while ((reserved = posix_fallocate(f, 0, off_t(size))) == EINTR) {
    }
    if (reserved != 0) {
        errno = reserved;
        return fail_close(f, tmp);
    }
    void *v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
    if (v == MAP_FAILED) {
        mapping_failed = true;
        return fail_close(f, tmp);
    }
    if (init != nullptr) init(v, arg);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        munmap(v, size);
        close(f);
        unlink(tmp.c_str());
        return err;
    }
    fd = f;
    view = v;
    return 0;
}

int shm_open(const std::string &name, int &fd, void *&view, size_t &size, bool &mapping_failed) {
    mapping_failed = false;
    std::string path;
    if (int err = object_path(name, path)) return err;
    int f = move_up(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (f < 0) return errno;
    struct stat st;
    if (fstat(f, &st) != 0) return fail_close(f, "");
    if (st.st_size == 0) {
        close(f);
        return EINVAL;
    }
    void *v = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
    if (v == MAP_FAILED) {
        mapping_failed = true;
        return fail_close(f, "");
    }
    fd = f;
    view = v;
    size = size_t(st.st_size);
    return 0;
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

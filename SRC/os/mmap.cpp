#include "os/mmap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "os/file.h"
#include "os/rundir.h"
#include "os/sys.h"
#include "os/syscall.h"

namespace zax::os {
namespace {

constexpr size_t kMaxFileName = 255;  // NAME_MAX of the usual file systems

// A stable short form of a long name: its start and a 64-bit FNV-1a hash of
// the whole, so that the same path always gives the same lock file.
std::string short_name(const char *name) {
    size_t len = std::strlen(name);
    if (len <= kMaxFileName) return std::string(name, len);
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < len; ++i) {
        h ^= uint8_t(name[i]);
        h *= 0x100000001b3ull;
    }
    char tail[20];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
    return std::string(name, 200) + tail;
}

int open_lock_file(const std::string &path, const Sharing &sharing, int &fd) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Open an existing file without O_CREAT: protected-regular systems
        // refuse O_CREAT on another user's file in a sticky directory.
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            int err = object_check(fd, S_IFREG, sharing);
            if (err != 0) ::close(fd);
            return err;
        }
        if (errno == EINTR) continue;
        if (errno != ENOENT) return errno;
        // Made with its access under a name of its own, then linked into
        // place: another opener never finds it with the umask's mode.
        std::string tmp = temp_name(path);
        int t = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
        if (t < 0) return errno;
        int err = object_set_access(t, sharing);
        ::close(t);
        if (err == 0 && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) err = errno;
        ::unlink(tmp.c_str());
        if (err != 0) return err;
        // Made here or by another process meanwhile: open it as it stands.
    }
    return EAGAIN;
}

}  // namespace

int map_file(int32_t fd, size_t size, bool writable, void *&addr) {
    int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void *p = ::mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return errno;
    addr = p;
    return 0;
}

int unmap_file(void *addr, size_t size) { return ::munmap(addr, size) == 0 ? 0 : errno; }

int sync_mapping(void *addr, size_t size) {
    return sys::msync(addr, size, MS_SYNC) == 0 ? 0 : errno;
}

int lock_file_acquire(const char *name, int32_t &fd, bool &open_failed) {
    open_failed = true;
    std::string path;
    Sharing sharing;
    if (int err = no_throw([&] { return object_path(short_name(name), path, &sharing); }))
        return err;
    int f = -1;
    if (int err = open_lock_file(path, sharing, f)) return err;
    if (f < 3) {
        int up = fcntl(f, F_DUPFD_CLOEXEC, 3);
        int err = errno;
        ::close(f);
        if (up < 0) return err;
        f = up;
    }
    open_failed = false;
    if (int err = file_lock(f, false)) {
        ::close(f);
        return err;
    }
    fd = f;
    return 0;
}

int lock_file_release(int32_t fd) {
    int err = file_unlock(fd);
    int cerr = file_close(fd);
    return err != 0 ? err : cerr;
}

}  // namespace zax::os

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
#include <utility>

#include "os/file.h"
#include "os/own.h"
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

int open_lock_file(const std::string &path, const Sharing &sharing, Fd *out) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Open an existing file without O_CREAT: protected-regular systems
        // refuse O_CREAT on another user's file in a sticky directory.
        Fd fd;
        int err = open_fd(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0, &fd);
        if (err == 0) {
            if ((err = object_check(fd.get(), S_IFREG, sharing))) return err;
            *out = std::move(fd);
            return 0;
        }
        if (err != ENOENT) return err;
        // Made with its access under a name of its own, then linked into
        // place: another opener never finds it with the umask's mode.
        std::string tmp = temp_name(path);
        Fd t;
        if ((err = open_fd(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                           0600, &t)))
            return err;
        TempName made(tmp);
        if ((err = object_set_access(t.get(), sharing))) return err;
        if (sys::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) return errno;
        // Made here or by another process meanwhile: open it as it stands.
    }
    return EAGAIN;
}

}  // namespace

int map_file(int32_t fd, size_t size, bool writable, void **addr) {
    Map m;
    if (int err = Map::of(fd, size, writable, &m)) return err;
    *addr = m.release();
    return 0;
}

int unmap_file(void *addr, size_t size) { return ::munmap(addr, size) == 0 ? 0 : errno; }

int sync_mapping(void *addr, size_t size) {
    return sys::msync(addr, size, MS_SYNC) == 0 ? 0 : errno;
}

int lock_file_acquire(const char *name, int32_t *fd, bool *open_failed) {
    *open_failed = true;
    std::string path;
    Sharing sharing;
    if (int err = no_throw([&] { return object_path(short_name(name), &path, &sharing); }))
        return err;
    Fd f;
    if (int err = open_lock_file(path, sharing, &f)) return err;
    *open_failed = false;
    if (int err = file_lock(f.get(), false)) return err;
    *fd = f.release();
    return 0;
}

int lock_file_release(int32_t fd) {
    int err = file_unlock(fd);
    int cerr = file_close(fd);
    return err != 0 ? err : cerr;
}

}  // namespace zax::os

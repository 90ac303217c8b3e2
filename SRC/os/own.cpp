#include "os/own.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "os/syscall.h"

namespace zax::os {

void Fd::reset(int fd) {
    if (fd_ >= 0) {
        int saved = errno;
        sys::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

int Fd::close() {
    int fd = release();
    if (fd < 0 || sys::close(fd) == 0 || errno == EINTR) return 0;
    return errno;
}

Map &Map::operator=(Map &&o) noexcept {
    if (this != &o) {
        reset();
        addr_ = o.release();
        size_ = o.size_;
    }
    return *this;
}

void Map::reset() {
    if (addr_ != nullptr) {
        int saved = errno;
        ::munmap(addr_, size_);
        errno = saved;
    }
    addr_ = nullptr;
}

int Map::map(size_t size, int prot, int flags, int fd, Map *out) {
    void *p = ::mmap(nullptr, size, prot, flags, fd, 0);
    if (p == MAP_FAILED) return errno;
    out->reset();
    out->addr_ = p;
    out->size_ = size;
    return 0;
}

int Map::of(int fd, size_t size, bool writable, Map *out) {
    return map(size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, out);
}

int Map::anonymous(size_t size, Map *out) {
    return map(size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, out);
}

TempName::~TempName() {
    if (path_ == nullptr) return;
    int saved = errno;
    if (kind_ == kDirectory)
        ::rmdir(path_->c_str());
    else
        sys::unlink(path_->c_str());
    errno = saved;
}

int lift(Fd &fd) {
    if (fd.get() >= 3 || fd.get() < 0) return 0;
    int up = sys::dup_above(fd.get(), 3);
    int err = up < 0 ? errno : 0;
    fd.reset(up);
    return err;
}

int open_fd(const char *path, int flags, mode_t mode, Fd *out) {
    Fd fd(sys::retry([&] { return sys::open(path, flags, mode); }));
    if (!fd) return errno;
    if (int err = lift(fd)) return err;
    *out = std::move(fd);
    return 0;
}

}  // namespace zax::os

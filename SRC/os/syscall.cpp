#include "os/syscall.h"

#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zax::os::sys {
namespace {

// The standard entries: the C library's functions behind plain (not
// variadic, not fortified) signatures.
int std_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int std_close(int fd) { return ::close(fd); }
ssize_t std_read(int fd, void *buf, size_t n) { return ::read(fd, buf, n); }
ssize_t std_write(int fd, const void *buf, size_t n) { return ::write(fd, buf, n); }
ssize_t std_pread(int fd, void *buf, size_t n, off_t at) { return ::pread(fd, buf, n, at); }
ssize_t std_pwrite(int fd, const void *buf, size_t n, off_t at) {
    return ::pwrite(fd, buf, n, at);
}
off_t std_lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int std_fstat(int fd, struct stat *st) { return ::fstat(fd, st); }
int std_stat(const char *path, struct stat *st) { return ::stat(path, st); }
int std_lstat(const char *path, struct stat *st) { return ::lstat(path, st); }
int std_fsync(int fd) { return ::fsync(fd); }
int std_fdatasync(int fd) { return ::fdatasync(fd); }
int std_ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int std_posix_fallocate(int fd, off_t offset, off_t length) {
    return ::posix_fallocate(fd, offset, length);
}
int std_rename(const char *from, const char *to) { return ::rename(from, to); }
int std_link(const char *from, const char *to) { return ::link(from, to); }
int std_unlink(const char *path) { return ::unlink(path); }
int std_mkdir(const char *path, mode_t mode) { return ::mkdir(path, mode); }
int std_fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int std_fchown(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid); }
int std_flock(int fd, int operation) { return ::flock(fd, operation); }
int std_dup_above(int fd, int lowest) { return ::fcntl(fd, F_DUPFD_CLOEXEC, lowest); }
int std_msync(void *addr, size_t length, int flags) { return ::msync(addr, length, flags); }

static_assert(sizeof(off_t) == 8, "the table's offsets are 64-bit");

}  // namespace

constinit Table g_table = {
#define ZAX_OS_SYSCALL_INIT(name, result, params, args) {&std_##name},
    ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_INIT)
#undef ZAX_OS_SYSCALL_INIT
};

namespace {

std::atomic<int> g_replaced{0};

constexpr const char *kNames[] = {
#define ZAX_OS_SYSCALL_NAME(name, result, params, args) #name,
    ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_NAME)
#undef ZAX_OS_SYSCALL_NAME
};
static_assert(sizeof kNames / sizeof kNames[0] == size_t(Call::count));

int index_of(const char *name) {
    if (name == nullptr) return -1;
    for (int i = 0; i < int(Call::count); ++i)
        if (std::strcmp(kNames[i], name) == 0) return i;
    return -1;
}

// Puts fn (the standard one for null) in entry i and keeps the count of
// replaced entries; returns what was there.
template <class F> AnyFn swap_in(std::atomic<F> &slot, F standard, AnyFn fn) {
    F next = fn != nullptr ? reinterpret_cast<F>(fn) : standard;
    F old = slot.exchange(next);
    if (old == standard && next != standard) g_replaced.fetch_add(1);
    if (old != standard && next == standard) g_replaced.fetch_sub(1);
    return reinterpret_cast<AnyFn>(old);
}

AnyFn exchange(int i, AnyFn fn, bool store) {
    switch (Call(i)) {
#define ZAX_OS_SYSCALL_SWAP(name, result, params, args)                    \
    case Call::name:                                                       \
        if (!store) return reinterpret_cast<AnyFn>(g_table.name.load());   \
        return swap_in(g_table.name, &std_##name, fn);
        ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_SWAP)
#undef ZAX_OS_SYSCALL_SWAP
        case Call::count: break;
    }
    return nullptr;
}

}  // namespace

int replaced_count() { return g_replaced.load(std::memory_order_relaxed); }

int set_call(const char *name, AnyFn fn) {
    int i = index_of(name);
    if (i < 0) return ENOENT;
    exchange(i, fn, true);
    return 0;
}

AnyFn get_call(const char *name) {
    int i = index_of(name);
    return i < 0 ? nullptr : exchange(i, nullptr, false);
}

const char *next_call(const char *name) {
    if (name == nullptr) return kNames[0];
    int i = index_of(name);
    return i < 0 || i + 1 == int(Call::count) ? nullptr : kNames[i + 1];
}

void reset_calls() {
    for (int i = 0; i < int(Call::count); ++i) exchange(i, nullptr, true);
}

const char *name_of(Call c) { return kNames[int(c)]; }

AnyFn standard_of(Call c) {
    switch (c) {
#define ZAX_OS_SYSCALL_STD(name, result, params, args) \
    case Call::name:                                   \
        return reinterpret_cast<AnyFn>(&std_##name);
        ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_STD)
#undef ZAX_OS_SYSCALL_STD
        case Call::count: break;
    }
    return nullptr;
}

}  // namespace zax::os::sys

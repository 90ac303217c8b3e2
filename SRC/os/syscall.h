// The system-call table: the layer makes the calls listed here through a
// table of function pointers instead of calling the C library directly, so
// that a test can put its own function in place of any of them (a full disk,
// an interrupted call, a short write) and take it out again.
//
// Each entry behaves as the C library function of its name (-1 with errno for
// most; posix_fallocate returns the error number). The standard entries are
// the C library's functions; nothing is replaced unless a test does it.
//
// The registry store's SQLite connections follow the table too: while any
// entry is replaced, SQLite's unix file system makes its open, close, read,
// pread64, write, pwrite64, fstat, ftruncate and unlink calls through the
// entries of the same names (pread64 and pwrite64 through pread and pwrite).
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace zax::os::sys {

// name, result, parameters, arguments
#define ZAX_OS_SYSCALLS(X)                                                                 \
    X(open, int, (const char *path, int flags, mode_t mode), (path, flags, mode))          \
    X(close, int, (int fd), (fd))                                                          \
    X(read, ssize_t, (int fd, void *buf, size_t n), (fd, buf, n))                          \
    X(write, ssize_t, (int fd, const void *buf, size_t n), (fd, buf, n))                   \
    X(pread, ssize_t, (int fd, void *buf, size_t n, off_t at), (fd, buf, n, at))           \
    X(pwrite, ssize_t, (int fd, const void *buf, size_t n, off_t at), (fd, buf, n, at))    \
    X(lseek, off_t, (int fd, off_t offset, int whence), (fd, offset, whence))              \
    X(fstat, int, (int fd, struct stat *st), (fd, st))                                     \
    X(stat, int, (const char *path, struct stat *st), (path, st))                          \
    X(lstat, int, (const char *path, struct stat *st), (path, st))                         \
    X(fsync, int, (int fd), (fd))                                                          \
    X(fdatasync, int, (int fd), (fd))                                                      \
    X(ftruncate, int, (int fd, off_t length), (fd, length))                                \
    X(posix_fallocate, int, (int fd, off_t offset, off_t length), (fd, offset, length))    \
    X(rename, int, (const char *from, const char *to), (from, to))                         \
    X(link, int, (const char *from, const char *to), (from, to))                           \
    X(unlink, int, (const char *path), (path))                                             \
    X(mkdir, int, (const char *path, mode_t mode), (path, mode))                           \
    X(fchmod, int, (int fd, mode_t mode), (fd, mode))                                      \
    X(fchown, int, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))                         \
    X(flock, int, (int fd, int operation), (fd, operation))                                \
    X(dup_above, int, (int fd, int lowest), (fd, lowest))                                  \
    X(msync, int, (void *addr, size_t length, int flags), (addr, length, flags))

enum class Call : int {
#define ZAX_OS_SYSCALL_ENUM(name, result, params, args) name,
    ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_ENUM)
#undef ZAX_OS_SYSCALL_ENUM
        count
};

// Untyped entry, as the by-name functions take and give it.
using AnyFn = void (*)();

// The typed form of each entry.
template <Call C> struct Signature;
#define ZAX_OS_SYSCALL_SIGNATURE(name, result, params, args) \
    template <> struct Signature<Call::name> {               \
        using type = result(*) params;                       \
    };
ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_SIGNATURE)
#undef ZAX_OS_SYSCALL_SIGNATURE
template <Call C> using Fn = typename Signature<C>::type;

// The functions in place, one member per call (constant-initialized with the
// standard ones, so the table is ready before any static initializer runs).
struct Table {
#define ZAX_OS_SYSCALL_MEMBER(name, result, params, args) std::atomic<Fn<Call::name>> name;
    ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_MEMBER)
#undef ZAX_OS_SYSCALL_MEMBER
};
extern Table g_table;

// The calls themselves: sys::write(fd, buf, n) and so on. dup_above is
// fcntl(fd, F_DUPFD_CLOEXEC, lowest).
#define ZAX_OS_SYSCALL_CALL(name, result, params, args) \
    inline result name params { return g_table.name.load(std::memory_order_relaxed) args; }
ZAX_OS_SYSCALLS(ZAX_OS_SYSCALL_CALL)
#undef ZAX_OS_SYSCALL_CALL

// The layer's one way of repeating an interrupted call: retry makes call()
// again while it fails with EINTR (-1 with errno) and gives its last result;
// retry_err does the same for calls that return their error number
// (posix_fallocate, clock_nanosleep, the pthread functions).
template <class F> auto retry(F call) {
    decltype(call()) r;
    do r = call();
    while (r == -1 && errno == EINTR);
    return r;
}
template <class F> int retry_err(F call) {
    int err;
    do err = call();
    while (err == EINTR);
    return err;
}

// Entries replaced now; 0 in normal use.
int replaced_count();

// By name, as SQLite's xSetSystemCall: put fn in place of the call name
// (null puts the standard one back). 0, or ENOENT for a name not in the table.
[[nodiscard]] int set_call(const char *name, AnyFn fn);
// The function now in place for name, or null for a name not in the table.
AnyFn get_call(const char *name);
// The name after name in the table (the first for null); null after the last.
const char *next_call(const char *name);
// Puts every standard call back.
void reset_calls();

// Typed forms for tests: replace<Call::write>(fake) puts fake in place and
// returns what was there; standard<Call::write>() is the C library's.
const char *name_of(Call c);
template <Call C> Fn<C> replace(Fn<C> fn) {
    Fn<C> old = reinterpret_cast<Fn<C>>(get_call(name_of(C)));
    (void)set_call(name_of(C), reinterpret_cast<AnyFn>(fn));  // C is in the table
    return old;
}
AnyFn standard_of(Call c);
template <Call C> Fn<C> standard() { return reinterpret_cast<Fn<C>>(standard_of(C)); }

// Holds a replacement for a scope and puts the previous function back.
template <Call C> class Replace {
public:
    explicit Replace(Fn<C> fn) : previous_(replace<C>(fn)) {}
    ~Replace() { replace<C>(previous_); }
    Replace(const Replace &) = delete;
    Replace &operator=(const Replace &) = delete;

private:
    Fn<C> previous_;
};

}  // namespace zax::os::sys

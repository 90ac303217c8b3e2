// Fault injection for tests: scoped replacements in the Linux layer's
// system-call table (SRC/os/syscall.h). Each object puts its fault in place
// when made and the previous function back when it goes; one object of a
// kind at a time.
#pragma once
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "os/syscall.h"

namespace zaxtest {

namespace sys = zax::os::sys;

namespace detail {

template <sys::Call C, class F> struct Failer;
template <sys::Call C, class R, class... A> struct Failer<C, R (*)(A...)> {
    static inline std::atomic<int> first{1}, count{0}, error{0}, calls{0};
    static R fn(A... a) {
        int n = ++calls;
        if (n >= first && n - first < count) {
            // posix_fallocate reports its error as the result.
            if constexpr (C == sys::Call::posix_fallocate) return error;
            errno = error;
            return R(-1);
        }
        return sys::standard<C>()(a...);
    }
};

}  // namespace detail

// fn in place of the call C while the object lives.
template <sys::Call C> class Replace {
public:
    explicit Replace(sys::Fn<C> fn) : previous_(sys::replace<C>(fn)) {}
    ~Replace() { sys::replace<C>(previous_); }
    Replace(const Replace &) = delete;
    Replace &operator=(const Replace &) = delete;

private:
    sys::Fn<C> previous_;
};

// Calls number first, first + 1, ... (count of them, counted from 1 after
// the object is made) of the call C fail with err; the others go through.
template <sys::Call C> class FailCall {
    using F = detail::Failer<C, sys::Fn<C>>;

public:
    explicit FailCall(int err, int first = 1, int count = INT_MAX)
        : replaced_(armed(err, first, count)) {}
    // How many calls were made so far.
    int calls() const { return F::calls; }

private:
    // The failing function, set up before it is put in place.
    static sys::Fn<C> armed(int err, int first, int count) {
        F::first = first;
        F::count = count;
        F::error = err;
        F::calls = 0;
        return &F::fn;
    }
    Replace<C> replaced_;
};

// A file system with room bytes left: writes that would grow a regular file
// beyond them are cut short, and fail with ENOSPC once nothing is left, as
// the kernel does; reservations (posix_fallocate) beyond them fail with
// ENOSPC. Writes within a file's present size take no room.
class DiskFull {
public:
    // The room is set before the first replacement is in place.
    explicit DiskFull(int64_t room = 0) : write_((room_ = room, &write_fn)) {}
    int64_t room() const { return room_; }

private:
    static inline std::atomic<int64_t> room_{0};

    // How many of n bytes at offset at may be written: -1 (ENOSPC) when none.
    static ssize_t allowed(int fd, off_t at, size_t n) {
        struct stat st;
        if (sys::standard<sys::Call::fstat>()(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return ssize_t(n);
        int64_t grow = int64_t(at) + int64_t(n) - int64_t(st.st_size);
        if (grow <= 0) return ssize_t(n);
        int64_t room = room_;
        if (grow <= room) {
            room_ -= grow;
            return ssize_t(n);
        }
        int64_t fits = int64_t(n) - grow + room;
        if (fits <= 0) return -1;
        room_ = 0;
        return ssize_t(fits);
    }
    static ssize_t write_fn(int fd, const void *buf, size_t n) {
        off_t at = sys::standard<sys::Call::lseek>()(fd, 0, SEEK_CUR);
        ssize_t ok = at < 0 ? ssize_t(n) : allowed(fd, at, n);
        if (ok < 0) {
            errno = ENOSPC;
            return -1;
        }
        return sys::standard<sys::Call::write>()(fd, buf, size_t(ok));
    }
    static ssize_t pwrite_fn(int fd, const void *buf, size_t n, off_t at) {
        ssize_t ok = allowed(fd, at, n);
        if (ok < 0) {
            errno = ENOSPC;
            return -1;
        }
        return sys::standard<sys::Call::pwrite>()(fd, buf, size_t(ok), at);
    }
    static int fallocate_fn(int fd, off_t offset, off_t length) {
        struct stat st;
        if (sys::standard<sys::Call::fstat>()(fd, &st) == 0) {
            int64_t grow = int64_t(offset) + int64_t(length) - int64_t(st.st_size);
            if (grow > room_) return ENOSPC;
            if (grow > 0) room_ -= grow;
        }
        return sys::standard<sys::Call::posix_fallocate>()(fd, offset, length);
    }

    Replace<sys::Call::write> write_;
    Replace<sys::Call::pwrite> pwrite_{&pwrite_fn};
    Replace<sys::Call::posix_fallocate> fallocate_{&fallocate_fn};
};

// Reads and writes that move at most limit bytes per call, as a pipe or a
// signal can make them.
class ShortIo {
public:
    // The limit is set before the first replacement is in place.
    explicit ShortIo(size_t limit) : read_((limit_ = limit, &read_fn)) {}

private:
    static inline std::atomic<size_t> limit_{1};
    static ssize_t read_fn(int fd, void *buf, size_t n) {
        return sys::standard<sys::Call::read>()(fd, buf, n < limit_ ? n : limit_.load());
    }
    static ssize_t write_fn(int fd, const void *buf, size_t n) {
        return sys::standard<sys::Call::write>()(fd, buf, n < limit_ ? n : limit_.load());
    }
    Replace<sys::Call::read> read_;
    Replace<sys::Call::write> write_{&write_fn};
};

}  // namespace zaxtest

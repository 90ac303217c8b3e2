#include "os/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "os/rundir.h"

namespace zax::os {
namespace {

// A named event's FIFO holds at most one page: a full pipe already means
// "signalled", and one read of this size drains every post.
constexpr int kPipeSize = 4096;

int open_fifo(const std::string &path) {
    int fd;
    do fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

Event::~Event() {
    if (fd_ >= 0) close(fd_);
}

int Event::close_fd() {
    int err = 0;
    // Linux frees the descriptor even when close reports EINTR: never retry.
    if (fd_ >= 0 && close(fd_) != 0 && errno != EINTR) err = errno;
    fd_ = -1;
    return err;
}

bool Event::try_take() {
    if (named_) {
        char buf[kPipeSize];
        ssize_t n;
        do n = read(fd_, buf, sizeof buf);
        while (n < 0 && errno == EINTR);
        return n > 0;
    }
    uint64_t v;
    ssize_t n;
    do n = read(fd_, &v, sizeof v);
    while (n < 0 && errno == EINTR);
    return n == sizeof v;
}

int Event::post() {
    ssize_t n;
    if (named_) {
        char one = 1;
        do n = write(fd_, &one, 1);
        while (n < 0 && errno == EINTR);
    } else {
        uint64_t v = 1;
        do n = write(fd_, &v, sizeof v);
        while (n < 0 && errno == EINTR);
    }
    // A full pipe (or counter) is an event that is signalled already.
    if (n < 0 && errno != EAGAIN) return errno;
    return 0;
}

int event_create(Event **out) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return errno;
    auto *e = new (std::nothrow) Event(fd, false);
    if (e == nullptr) {
        close(fd);
        return ENOMEM;
    }
    *out = e;
    return 0;
}

int event_open(const std::string &name, Event **out) {
    std::string path;
    if (int err = object_path(name, path)) return err;
    // Open what exists first: systems with protected FIFOs refuse O_CREAT on
    // another user's FIFO in a sticky directory.
    int fd = open_fifo(path);
    if (fd < 0 && errno == ENOENT) {
        if (mkfifo(path.c_str(), 0666) == 0) {
            // The umask narrowed the mode; every user may use every event.
            chmod(path.c_str(), 0666);
        } else if (errno != EEXIST) {
            return errno;
        }
        fd = open_fifo(path);
    }
    if (fd < 0) return errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    if (!S_ISFIFO(st.st_mode)) {
        close(fd);
        return EPROTO;
    }
    // At every open: the first opener of a fresh pipe gets the default size.
    if (fcntl(fd, F_SETPIPE_SZ, kPipeSize) < 0) {
        int err = errno;
        close(fd);
        return err;
    }
    auto *e = new (std::nothrow) Event(fd, true);
    if (e == nullptr) {
        close(fd);
        return ENOMEM;
    }
    *out = e;
    return 0;
}

int event_close(Event *e) {
    int err = e->close_fd();
    delete e;
    return err;
}

Latch::~Latch() {
    if (fd_ >= 0) close(fd_);
}

bool Latch::try_take() {
    struct pollfd p = {fd_, POLLIN, 0};
    int r;
    do r = poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    return r == 1 && (p.revents & POLLIN);
}

int Latch::post() {
    uint64_t v = 1;
    ssize_t n;
    do n = write(fd_, &v, sizeof v);
    while (n < 0 && errno == EINTR);
    return n < 0 && errno != EAGAIN ? errno : 0;
}

int latch_create(Latch **out) {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return errno;
    auto *l = new (std::nothrow) Latch(fd);
    if (l == nullptr) {
        close(fd);
        return ENOMEM;
    }
    *out = l;
    return 0;
}

}  // namespace zax::os

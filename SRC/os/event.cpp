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
    do fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Makes the FIFO at path with the sharing mode's access, complete before its
// name appears; 0 also when another process made it first, or errno.
int make_fifo(const std::string &path, const Sharing &sharing) {
    std::string tmp = temp_name(path);
    if (mkfifo(tmp.c_str(), 0600) != 0) return errno;
    int err = 0;
    int fd = open_fifo(tmp);
    if (fd < 0) err = errno;
    if (err == 0) err = object_set_access(fd, sharing);
    if (fd >= 0) close(fd);
    if (err == 0 && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) err = errno;
    unlink(tmp.c_str());
    return err;
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
    Sharing sharing;
    if (int err = object_path(name, path, &sharing)) return err;
    // Open what exists first: systems with protected FIFOs refuse O_CREAT on
    // another user's FIFO in a sticky directory.
    int fd = open_fifo(path);
    if (fd < 0 && errno == ENOENT) {
        if (int err = make_fifo(path, sharing)) return err;
        fd = open_fifo(path);
    }
    if (fd < 0) return errno;
    if (int err = object_check(fd, S_IFIFO, sharing)) {
        close(fd);
        return err;
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

#include "os/event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

#include "os/own.h"
#include "os/rundir.h"
#include "os/syscall.h"

namespace zax::os {
namespace {

// A named event's FIFO holds at most one page: a full pipe already means
// "signalled", and one read of this size drains every post.
constexpr int kPipeSize = 4096;

int open_fifo(const std::string &path, Fd *out) {
    return open_fd(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0, out);
}

// Makes the FIFO at path with the sharing mode's access, complete before its
// name appears; 0 also when another process made it first, or errno.
int make_fifo(const std::string &path, const Sharing &sharing) {
    std::string tmp = temp_name(path);
    if (mkfifo(tmp.c_str(), 0600) != 0) return errno;
    TempName made(tmp);
    Fd fd;
    if (int err = open_fifo(tmp, &fd)) return err;
    if (int err = object_set_access(fd.get(), sharing)) return err;
    if (sys::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) return errno;
    return 0;
}

}  // namespace

bool Event::try_take() {
    if (named_) {
        char buf[kPipeSize];
        return sys::retry([&] { return ::read(fd_.get(), buf, sizeof buf); }) > 0;
    }
    uint64_t v;
    return sys::retry([&] { return ::read(fd_.get(), &v, sizeof v); }) == sizeof v;
}

int Event::post() {
    const char one = 1;
    const uint64_t v = 1;
    ssize_t n = sys::retry([&] {
        return named_ ? ::write(fd_.get(), &one, 1) : ::write(fd_.get(), &v, sizeof v);
    });
    // A full pipe (or counter) is an event that is signalled already.
    if (n < 0 && errno != EAGAIN) return errno;
    return 0;
}

int event_create(Event **out) {
    Fd fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd) return errno;
    auto *e = new (std::nothrow) Event(std::move(fd), false);
    if (e == nullptr) return ENOMEM;
    *out = e;
    return 0;
}

int event_open(const std::string &name, Event **out) {
    std::string path;
    Sharing sharing;
    if (int err = object_path(name, &path, &sharing)) return err;
    // Open what exists first: systems with protected FIFOs refuse O_CREAT on
    // another user's FIFO in a sticky directory.
    Fd fd;
    int err = open_fifo(path, &fd);
    if (err == ENOENT) {
        if ((err = make_fifo(path, sharing))) return err;
        err = open_fifo(path, &fd);
    }
    if (err != 0) return err;
    if ((err = object_check(fd.get(), S_IFIFO, sharing))) return err;
    // At every open: the first opener of a fresh pipe gets the default size.
    if (fcntl(fd.get(), F_SETPIPE_SZ, kPipeSize) < 0) return errno;
    auto *e = new (std::nothrow) Event(std::move(fd), true);
    if (e == nullptr) return ENOMEM;
    *out = e;
    return 0;
}

int event_close(Event *e) {
    int err = e->close_fd();
    delete e;
    return err;
}

bool Latch::try_take() {
    struct pollfd p = {fd_.get(), POLLIN, 0};
    int r = sys::retry([&] { return poll(&p, 1, 0); });
    return r == 1 && (p.revents & POLLIN);
}

int Latch::post() {
    uint64_t v = 1;
    ssize_t n = sys::retry([&] { return ::write(fd_.get(), &v, sizeof v); });
    return n < 0 && errno != EAGAIN ? errno : 0;
}

int latch_create(Latch **out) {
    Fd fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd) return errno;
    auto *l = new (std::nothrow) Latch(std::move(fd));
    if (l == nullptr) return ENOMEM;
    *out = l;
    return 0;
}

}  // namespace zax::os

#include "os/sock.h"

#include "os/own.h"
#include "os/rundir.h"
#include "os/syscall.h"
#include "os/wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zax::os {
namespace {

// The address of the socket at path. A path too long for a socket address
// (107 bytes) is reached through a descriptor of its directory, as
// "/proc/self/fd/N/name", which the kernel resolves like the full path; so a
// socket may live in any directory the file system accepts. The descriptor
// stays open as long as the address does.
class SockAddress {
public:
    SockAddress() = default;
    SockAddress(const SockAddress &) = delete;
    SockAddress &operator=(const SockAddress &) = delete;
    // Once, before use. 0, or an errno: that of opening the directory, or
    // ENAMETOOLONG when even the short form does not fit (a file name of
    // over 80 bytes).
    [[nodiscard]] int set(const std::string &path);
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&addr_); }
    unsigned size() const { return sizeof addr_; }

private:
    sockaddr_un addr_{};
    Fd dir_;
};

int SockAddress::set(const std::string &path) {
    addr_.sun_family = AF_UNIX;
    constexpr size_t kMax = sizeof addr_.sun_path - 1;
    if (path.size() <= kMax) {
        std::memcpy(addr_.sun_path, path.c_str(), path.size() + 1);
        return 0;
    }
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ENAMETOOLONG;
    std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    dir_.reset(sys::retry([&] { return ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir_) return errno;
    int n = std::snprintf(addr_.sun_path, sizeof addr_.sun_path, "/proc/self/fd/%d/%s", dir_.get(),
                          path.c_str() + slash + 1);
    if (n < 0 || size_t(n) > kMax) return ENAMETOOLONG;
    return 0;
}

// A socket of type (SOCK_STREAM or SOCK_DGRAM) connected to addr, blocking.
int try_connect(const SockAddress &addr, int type, Fd *out) {
    Fd s(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) return errno;
    if (sys::retry([&] { return connect(s.get(), addr.get(), addr.size()); }) != 0) return errno;
    int fl = fcntl(s.get(), F_GETFL);
    fcntl(s.get(), F_SETFL, fl & ~O_NONBLOCK);
    *out = std::move(s);
    return 0;
}

// Bind a socket of type at path: a socket file left by a process that died
// (nobody bound to it any more) is removed first; a live one gives
// EADDRINUSE. The file gets the sharing mode's access after the bind.
int bind_at(const std::string &path, int type, Fd *out) {
    SockAddress a;
    if (int err = a.set(path)) return err;
    Fd probe;
    int err = try_connect(a, type, &probe);
    if (err == 0) return EADDRINUSE;
    if (err == ECONNREFUSED) unlink(path.c_str());  // left by a process that died
    Fd s(socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!s) return errno;
    if (bind(s.get(), a.get(), a.size()) != 0) return errno;
    TempName bound(path);  // gone again unless the socket is handed out
    // fchmod on a socket does nothing: the path's mode is what counts, set
    // after the bind as the sharing mode wants it.
    Sharing sharing;
    err = sharing_setting(&sharing);
    if (err == 0) err = object_set_access_path(path, sharing);
    if (err != 0) return err;
    bound.keep();
    *out = std::move(s);
    return 0;
}

// A socket of type connected to the one at path, waiting up to wait_ms while
// the listener's backlog is full.
int connect_at(const std::string &path, int type, uint32_t wait_ms, int *fd) {
    SockAddress a;
    if (int err = a.set(path)) return err;
    const uint64_t deadline = monotonic_ms() + wait_ms;
    Fd s;
    for (;;) {
        int err = try_connect(a, type, &s);
        if (err == 0) *fd = s.release();
        // A full backlog is the "all instances busy" case: wait for a free one.
        if (err != EAGAIN) return err;
        if (monotonic_ms() >= deadline) return EAGAIN;
        sleep_ms(5);
    }
}

}  // namespace

int sock_connect(const std::string &path, uint32_t wait_ms, int *fd) {
    return connect_at(path, SOCK_STREAM, wait_ms, fd);
}

int sock_listen(const std::string &path, int backlog, int *fd) {
    Fd s;
    if (int err = bind_at(path, SOCK_STREAM, &s)) return err;
    TempName bound(path);
    if (listen(s.get(), backlog) != 0) return errno;
    bound.keep();
    *fd = s.release();
    return 0;
}

int sock_bind_datagram(const std::string &path, int *fd) {
    Fd s;
    if (int err = bind_at(path, SOCK_DGRAM, &s)) return err;
    TempName bound(path);
    if (fcntl(s.get(), F_SETFL, fcntl(s.get(), F_GETFL) | O_NONBLOCK) != 0) return errno;
    bound.keep();
    *fd = s.release();
    return 0;
}

int sock_connect_datagram(const std::string &path, int *fd) {
    return connect_at(path, SOCK_DGRAM, 0, fd);
}

int sock_accept(int listen_fd, int *fd) {
    int s = sys::retry([&] { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); });
    if (s < 0) return errno;
    *fd = s;
    return 0;
}

int sock_peer(int fd, PeerCredentials *out) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return errno;
    out->pid = uint32_t(cred.pid);
    out->uid = cred.uid;
    out->gid = cred.gid;
    out->groups.clear();
    // Ask with room for a typical list first; the kernel says how much it needs.
    std::vector<gid_t> groups(32);
    len = socklen_t(groups.size() * sizeof(gid_t));
    int rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    if (rc != 0 && errno == ERANGE) {
        groups.resize(len / sizeof(gid_t));
        rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len);
    }
    if (rc == 0) out->groups.assign(groups.begin(), groups.begin() + len / sizeof(gid_t));
    return 0;
}

int sock_set_timeout(int fd, uint32_t ms) {
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return errno;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return errno;
    return 0;
}

int read_exact(int fd, void *buf, size_t n) {
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        ssize_t r = sys::retry([&] { return ::read(fd, p, n); });
        if (r < 0) return errno;
        if (r == 0) return ECONNRESET;
        p += r;
        n -= size_t(r);
    }
    return 0;
}

int read_exact_timed(int fd, void *buf, size_t n, uint32_t *remaining_ms) {
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        const uint64_t start = monotonic_ms();
        pollfd pfd{fd, POLLIN, 0};
        int rc = poll(&pfd, 1, int(*remaining_ms));
        const uint64_t spent = monotonic_ms() - start;
        *remaining_ms = spent >= *remaining_ms ? 0 : *remaining_ms - uint32_t(spent);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (rc == 0) return ETIMEDOUT;
        // Readable: data, the end of the stream or an error; never a block.
        ssize_t r = read(fd, p, n);
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno;
        }
        if (r == 0) return ECONNRESET;
        p += r;
        n -= size_t(r);
    }
    return 0;
}

int write_exact(int fd, const void *buf, size_t n) {
    const auto *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t r = sys::retry([&] { return send(fd, p, n, MSG_NOSIGNAL); });
        if (r < 0) return errno;
        p += r;
        n -= size_t(r);
    }
    return 0;
}

}  // namespace zax::os

#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <vector>

#include "os/syscall.h"
#include "os/wait.h"

namespace zax::omik {
namespace {

FILE *g_log = nullptr;

uint64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

struct Connection {
    int fd = -1;
    uint64_t deadline = 0;
    os::PeerCredentials peer;
    bool admitted = false;
    Message msg{};
    size_t done = 0;        // bytes of the request read, then of the reply written
    bool replying = false;  // the request is answered; the reply is being written
};

// How many connections the descriptor limit leaves room for.
size_t connection_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kMaxConnections;
    const size_t spare = 16;  // listener, stop pipe, log, table file, directory
    return rl.rlim_cur <= spare * 2 ? 1 : std::min(kMaxConnections, size_t(rl.rlim_cur) - spare);
}

class Server {
public:
    Server(VectorTable &table, const Access &access) : table_(table), access_(access) {}

    void run(int listen_fd, int stop_fd) {
        const size_t limit = connection_limit();
        std::vector<pollfd> fds;
        for (;;) {
            expire(now_ms());
            fds.clear();
            fds.push_back({stop_fd, POLLIN, 0});
            fds.push_back({listen_fd, POLLIN, 0});
            int timeout = -1;
            const uint64_t now = now_ms();
            for (const Connection &c : conns_) {
                fds.push_back({c.fd, short(c.replying ? POLLOUT : POLLIN), 0});
                int left = c.deadline > now ? int(c.deadline - now) : 0;
                timeout = timeout < 0 ? left : std::min(timeout, left);
            }
            int n = poll(fds.data(), fds.size(), timeout);
            if (n < 0) {
                if (errno == EINTR) continue;  // poll again with the deadlines as they are now
                log_line("poll failed: %s", std::strerror(errno));
                return;
            }
            if (fds[0].revents != 0) return;
            // Connections first (their positions match fds from 2 on), then
            // new ones, so that the positions still hold while serving.
            size_t i = 2;
            for (auto it = conns_.begin(); it != conns_.end(); ++i) {
                if (fds[i].revents != 0 && !step(*it)) {
                    close(it->fd);
                    it = conns_.erase(it);
                } else {
                    ++it;
                }
            }
            if (fds[1].revents != 0) accept_all(listen_fd, limit);
        }
    }

    ~Server() {
        for (const Connection &c : conns_) close(c.fd);
    }

private:
    void expire(uint64_t now) {
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            if (it->replying)
                log_line("reply to pid %u lost: the client did not read it in time", it->peer.pid);
            else
                log_line("incomplete request dropped: pid %u sent %zu of %zu bytes in time",
                         it->peer.pid, it->done, sizeof(Message));
            close(it->fd);
            it = conns_.erase(it);
        }
    }

    void accept_all(int listen_fd, size_t limit) {
        for (;;) {
            int fd = os::sys::retry(
                [&] { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); });
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return;
                // Out of descriptors or memory: back off instead of spinning.
                log_line("accept failed: %s", std::strerror(errno));
                os::sleep_ms(10);
                return;
            }
            Connection c;
            c.fd = fd;
            c.deadline = now_ms() + kExchangeTimeoutMs;
            if (os::sock_peer(fd, &c.peer) != 0) {
                close(fd);
                continue;
            }
            c.admitted = access_.admits(c.peer);
            if (conns_.size() >= limit) evict();
            conns_.push_back(std::move(c));
        }
    }

    // Drops the oldest connection of the user who holds the most.
    void evict() {
        std::map<uint32_t, size_t> per_user;
        for (const Connection &c : conns_) ++per_user[c.peer.uid];
        auto most = std::max_element(per_user.begin(), per_user.end(),
                                     [](const auto &a, const auto &b) { return a.second < b.second; });
        for (auto it = conns_.begin(); it != conns_.end(); ++it) {
            if (it->peer.uid != most->first) continue;
            log_line("connection of pid %u dropped: uid %u holds %zu of the %zu connections",
                     it->peer.pid, most->first, most->second, conns_.size());
            close(it->fd);
            conns_.erase(it);
            return;
        }
    }

    // Moves the exchange on; false when the connection is finished.
    bool step(Connection &c) {
        char *base = reinterpret_cast<char *>(&c.msg);
        if (!c.replying) {
            ssize_t r =
                os::sys::retry([&] { return read(c.fd, base + c.done, sizeof c.msg - c.done); });
            if (r < 0) {
                if (errno == EAGAIN) return true;
                log_line("incomplete request dropped: %s", std::strerror(errno));
                return false;
            }
            if (r == 0) {
                log_line("incomplete request dropped: pid %u closed after %zu bytes", c.peer.pid,
                         c.done);
                return false;
            }
            c.done += size_t(r);
            if (c.done < sizeof c.msg) return true;
            answer(c);
            c.replying = true;
            c.done = 0;
        }
        ssize_t w = os::sys::retry(
            [&] { return send(c.fd, base + c.done, sizeof c.msg - c.done, MSG_NOSIGNAL); });
        if (w < 0) {
            if (errno == EAGAIN) return true;
            log_line("reply to pid %u lost: %s", c.peer.pid, std::strerror(errno));
            return false;
        }
        c.done += size_t(w);
        return c.done < sizeof c.msg;
    }

    void answer(Connection &c) {
        Message &m = c.msg;
        uint16_t status;
        if (!c.admitted) {
            status = kStatusDenied;
        } else if (m.protocol != kProtocol || m.payload_length != 0) {
            status = kStatusBadRequest;
        } else if (m.operation == kOpStatus) {
            m.first = uint32_t(getpid());
            m.second = uint32_t(table_.size());
            status = kStatusOk;
        } else {
            const os::PeerCredentials &peer = c.peer;
            status = table_.handle(m, peer.uid, [&](uint32_t registrar) {
                return access_.may_change(peer, registrar);
            });
        }
        log_line("pid %u uid %u operation %u sub-code %u name \"%.16s\": status %u", c.peer.pid,
                 c.peer.uid, m.operation, m.subcode, m.name, status);
        if (status == kStatusNotKept)
            log_line("the table file cannot be written: %s",
                     std::strerror(table_.last_save_error()));
        m.status = status;
        m.payload_length = 0;
    }

    VectorTable &table_;
    const Access &access_;
    std::list<Connection> conns_;  // in the order they came
};

}  // namespace

bool Access::in_scope(const os::PeerCredentials &peer) const {
    // The groups the process holds count first: a member found there costs
    // no look-up in the user database.
    if (sharing.mode == os::SharingMode::group &&
        std::find(peer.groups.begin(), peer.groups.end(), sharing.gid) != peer.groups.end())
        return true;
    return os::in_scope(sharing, peer.uid, peer.gid);
}

bool Access::admits(const os::PeerCredentials &peer) const {
    return peer.uid == 0 || peer.uid == service_uid || in_scope(peer);
}

bool Access::may_change(const os::PeerCredentials &peer, uint32_t registrar_uid) const {
    return peer.uid == registrar_uid || peer.uid == 0 || in_scope(peer);
}

void serve(int listen_fd, int stop_fd, VectorTable &table, const Access &access) {
    int fl = fcntl(listen_fd, F_GETFL);
    fcntl(listen_fd, F_SETFL, fl | O_NONBLOCK);
    Server(table, access).run(listen_fd, stop_fd);
}

void set_log(FILE *log) { g_log = log; }

void log_line(const char *fmt, ...) {
    if (g_log == nullptr) return;
    char stamp[32];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::fprintf(g_log, "%s omikinit[%d] ", stamp, int(getpid()));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(g_log, fmt, ap);
    va_end(ap);
    std::fputc('\n', g_log);
    std::fflush(g_log);
}

}  // namespace zax::omik

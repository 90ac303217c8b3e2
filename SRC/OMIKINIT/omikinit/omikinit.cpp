// omikinit: the initiator service. Serves the socket ZAX_OMIKINIT of the
// run-time directory, one request and one reply per connection, and keeps the
// vector table for every process of the machine.
//
//   omikinit [--rundir DIR] [--foreground | --daemon] [--log FILE|-]
//
// Clients are served one after another. A client that dies or sends half a
// request costs at most the exchange time-out, never a hang.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <utility>

#include "OMIKINIT/omikproto.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/wait.h"

using namespace zax;
using omik::Message;

namespace {

constexpr uint32_t kExchangeTimeoutMs = 2000;
int g_signal_pipe[2] = {-1, -1};
FILE *g_log = nullptr;

void on_signal(int) {
    char c = 1;
    ssize_t r = write(g_signal_pipe[1], &c, 1);
    (void)r;
}

void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
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

class VectorTable {
public:
    uint16_t handle(Message &m) {
        // A name must end within its 16 bytes; the client allows 8 characters.
        if (std::memchr(m.name, 0, sizeof m.name) == nullptr) return omik::kStatusBadRequest;
        std::string name(m.name);
        switch (m.operation) {
        case omik::kOpRegister:
            if (m.first == 0 || m.second == 0) return omik::kStatusBadRequest;
            entries_[name] = {m.first, m.second};
            return omik::kStatusOk;
        case omik::kOpLookup: {
            auto it = entries_.find(name);
            if (it == entries_.end()) return omik::kStatusNoEntry;
            m.first = it->second.first;
            m.second = it->second.second;
            return omik::kStatusOk;
        }
        case omik::kOpRemove:
            return entries_.erase(name) != 0 ? omik::kStatusOk : omik::kStatusNoEntry;
        default:
            return omik::kStatusUnknownOperation;
        }
    }

private:
    std::map<std::string, std::pair<uint32_t, uint32_t>> entries_;
};

void serve_one(int fd, VectorTable &table) {
    os::sock_set_timeout(fd, kExchangeTimeoutMs);
    Message m;
    if (int err = os::read_exact(fd, &m, sizeof m)) {
        log_line("incomplete request dropped: %s", std::strerror(err));
        return;
    }
    uint16_t status;
    if (m.protocol != omik::kProtocol || m.payload_length != 0)
        status = omik::kStatusBadRequest;
    else
        status = table.handle(m);
    log_line("pid %u operation %u sub-code %u name \"%.16s\": status %u", m.pid, m.operation,
             m.subcode, m.name, status);
    m.status = status;
    m.payload_length = 0;
    if (int err = os::write_exact(fd, &m, sizeof m))
        log_line("reply to pid %u lost: %s", m.pid, std::strerror(err));
}

void usage() {
    std::fprintf(stderr,
                 "usage: omikinit [--rundir DIR] [--foreground | --daemon] [--log FILE|-]\n"
                 "  --rundir DIR   run-time directory (default $ZAXXLIB_RUNDIR or the sharing mode's)\n"
                 "  --foreground   stay attached to the terminal (default: --daemon)\n"
                 "  --log FILE     log every request to FILE (- for standard error)\n");
}

}  // namespace

int main(int argc, char **argv) {
    bool foreground = false;
    const char *log_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rundir" && i + 1 < argc) {
            setenv("ZAXXLIB_RUNDIR", argv[++i], 1);
        } else if (a == "--foreground") {
            foreground = true;
        } else if (a == "--daemon") {
            foreground = false;
        } else if (a == "--log" && i + 1 < argc) {
            log_path = argv[++i];
        } else {
            usage();
            return a == "--help" ? 0 : 2;
        }
    }

    std::string path;
    if (int err = os::object_path(omik::kSocketName, path)) {
        std::fprintf(stderr, "omikinit: run-time directory: %s\n", std::strerror(err));
        return 1;
    }
    int listen_fd = -1;
    if (int err = os::sock_listen(path, 64, listen_fd)) {
        std::fprintf(stderr, "omikinit: cannot serve %s: %s\n", path.c_str(),
                     err == EADDRINUSE ? "another initiator service is running" : std::strerror(err));
        return 1;
    }
    if (log_path != nullptr) {
        g_log = std::strcmp(log_path, "-") == 0 ? stderr : std::fopen(log_path, "ae");
        if (g_log == nullptr) {
            std::fprintf(stderr, "omikinit: cannot open log %s: %s\n", log_path, std::strerror(errno));
            return 1;
        }
    }
    if (!foreground) {
        // Detach after the socket is served, so that a failure to start is
        // still reported to whoever started us.
        if (daemon(0, g_log == stderr ? 1 : 0) != 0) {
            std::perror("omikinit: daemon");
            return 1;
        }
    }
    if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    log_line("serving %s", path.c_str());

    VectorTable table;
    for (;;) {
        pollfd fds[2] = {{listen_fd, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}};
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents & POLLIN) {
            int fd = -1;
            if (int err = os::sock_accept(listen_fd, fd)) {
                // Out of descriptors or memory: back off instead of spinning.
                log_line("accept failed: %s", std::strerror(err));
                os::sleep_ms(10);
                continue;
            }
            serve_one(fd, table);
            os::close_fd(fd);
        }
    }
    log_line("stopping");
    os::close_fd(listen_fd);
    // Clients then learn at once that nobody serves the socket.
    unlink(path.c_str());
    return 0;
}

#include "os/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "os/names.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/thread.h"
#include "os/wait.h"

namespace zax::os {

struct PipeServer {
    std::string path;
    int listen_fd = -1;
    int wake_fd = -1;  // closing the socket does not wake a blocked poll: this does
    PipeHandler handler = nullptr;
    pthread_t thread{};
    bool running = false;
};

namespace {

// Senders queue up to this many connections before they see "busy".
constexpr int kBacklog = 128;
// A client that connected but sends nothing is given up after this long.
constexpr int kReadTimeoutMs = 1000;

// Reads one message from a new connection and hands it on. A client that
// died before writing 4 bytes leaves nothing.
void serve_connection(PipeServer *s, int fd) {
    uint32_t message = 0;
    size_t got = 0;
    while (got < sizeof message) {
        ssize_t n = recv(fd, reinterpret_cast<char *>(&message) + got, sizeof message - got,
                         MSG_DONTWAIT);
        if (n > 0) {
            got += size_t(n);
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) break;
        struct pollfd p = {fd, POLLIN, 0};
        int r;
        do r = poll(&p, 1, kReadTimeoutMs);
        while (r < 0 && errno == EINTR);
        if (r <= 0) break;
    }
    close(fd);
    if (got == sizeof message) s->handler(message);
}

// Accepts and serves what is queued; false when the accept failed in a way
// that calls for a pause (out of descriptors or memory).
bool accept_queued(PipeServer *s) {
    for (;;) {
        int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            serve_connection(s, fd);
            continue;
        }
        switch (errno) {
        case EAGAIN:
            return true;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            continue;
        default:
            return false;
        }
    }
}

void *server_main(void *arg) {
    auto *s = static_cast<PipeServer *>(arg);
    struct pollfd fds[2] = {{s->listen_fd, POLLIN, 0}, {s->wake_fd, POLLIN, 0}};
    for (;;) {
        int r = poll(fds, 2, -1);
        if (r < 0) {
            if (errno != EINTR) sleep_ms(kBusyPauseMs);
            continue;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents != 0 && !accept_queued(s)) {
            // Recover from a passing shortage instead of spinning on it.
            sleep_ms(kBusyPauseMs);
        }
    }
    // Stopping: what senders queued before the stop is still delivered.
    accept_queued(s);
    return nullptr;
}

}  // namespace

std::string pipe_name(uint32_t pid) {
    char name[32];
    std::snprintf(name, sizeof name, names::kEventSocket, pid);
    return name;
}

int pipe_create(uint32_t pid, PipeServer **out) {
    std::string path;
    if (int err = object_path(pipe_name(pid), path)) return err;
    auto *s = new (std::nothrow) PipeServer;
    if (s == nullptr) return ENOMEM;
    s->path = path;
    // A socket file of our identifier was left by a dead process: the
    // listener removes it.
    int err = sock_listen(path, kBacklog, s->listen_fd);
    if (err == 0) {
        // The server thread drains its queue with accepts that must not block.
        if (fcntl(s->listen_fd, F_SETFL, fcntl(s->listen_fd, F_GETFL) | O_NONBLOCK) != 0) {
            err = errno;
            unlink(path.c_str());
        }
    }
    if (err == 0) {
        s->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (s->wake_fd < 0) {
            err = errno;
            unlink(path.c_str());
        }
    }
    if (err != 0) {
        if (s->listen_fd >= 0) close(s->listen_fd);
        delete s;
        return err;
    }
    *out = s;
    return 0;
}

int pipe_start(PipeServer *s, PipeHandler handler) {
    s->handler = handler;
    // The server thread takes no signals: the program's handlers run on the
    // program's own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&s->thread, nullptr, server_main, s);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err == 0) {
        s->running = true;
        service_threads_add(1);
    }
    return err;
}

void pipe_destroy(PipeServer *s) {
    if (s->running) {
        uint64_t one = 1;
        while (write(s->wake_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        pthread_join(s->thread, nullptr);
        service_threads_add(-1);
    }
    // Remove the name first, so that no sender connects to a closing socket.
    unlink(s->path.c_str());
    close(s->listen_fd);
    close(s->wake_fd);
    delete s;
}

int pipe_send(uint32_t pid, uint32_t message, SendStep *step) {
    *step = SendStep::Connect;
    std::string path;
    if (int err = object_path(pipe_name(pid), path)) return err;
    int fd = -1;
    // A full backlog is the "all instances busy" case: retried for a while.
    if (int err = sock_connect(path, kBusyRetries * kBusyPauseMs, fd)) return err;
    *step = SendStep::Write;
    sock_set_timeout(fd, kReadTimeoutMs);
    int err = write_exact(fd, &message, sizeof message);
    close(fd);
    return err;
}

}  // namespace zax::os

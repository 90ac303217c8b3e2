#include "os/pipe.h"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>

#include "os/env.h"
#include "os/names.h"
#include "os/own.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/sys.h"
#include "os/syscall.h"
#include "os/thread.h"
#include "os/wait.h"

namespace zax::os {

// Who reads the socket: whichever of the threads that sleep on it the kernel
// wakes, one per message (EPOLLEXCLUSIVE). A thread that waits for its own
// events (pipe_wait) is registered ahead of the server thread, so that a post
// for it wakes it directly; the server thread reads when nobody waits.
struct PipeServer {
    std::string path;
    Fd fd;        // the bound datagram socket, non-blocking
    Fd wake_fd;   // closing the socket does not wake a blocked wait: this does
    Fd epoll_fd;  // the server thread's: the socket and wake_fd
    uint64_t id = 0;    // tells servers apart for the threads that waited on one
    PipeHandler handler = nullptr;
    pthread_t thread{};
    bool running = false;
    bool inherited = false;  // a copy that a fork left in a child
    pthread_mutex_t order_lock = PTHREAD_MUTEX_INITIALIZER;
    PipeServer *next = nullptr;
};

namespace {

// What the server's and the waiters' epoll entries carry.
constexpr uint64_t kWakeTag = 0, kSocketTag = 1;
constexpr uint32_t kExclusiveIn = EPOLLIN | EPOLLEXCLUSIVE;

// Servers of this process, so that a child made by fork can let go of them.
pthread_mutex_t g_servers_lock = PTHREAD_MUTEX_INITIALIZER;
PipeServer *g_servers = nullptr;
std::atomic<uint64_t> g_next_id{1};

// Sockets of the current thread, one per target it posted to lately,
// connected, so that a post is one send: the target's socket is looked up in
// the run-time directory only when the thread has none for it, or when the
// receiver it had has gone. A socket serves one target process under one
// setting of the run-time directory.
struct Sender {
    uint32_t pid = 0;
    std::string rundir;  // ZAXXLIB_RUNDIR as it was (empty: unset)
    Fd fd;
};
constexpr unsigned kSenders = 4;
struct Senders {
    Sender entries[kSenders];
    unsigned next = 0;  // the entry a new target takes
    ~Senders() { forget(); }
    void forget() {
        for (Sender &e : entries) e.fd.reset();
    }
};
thread_local Senders t_senders;

// The epoll set in which the current thread sleeps in pipe_wait: the socket
// of the server it last waited on, and its wake event. Plain data, so that it
// can be read at any time of the thread's end; the closer below gives the
// descriptor back.
struct WaitSet {
    int epoll_fd = -1;
    uint64_t server = 0;  // id of the server whose socket is in the set
    int wake_fd = -1;     // the wake event's descriptor in the set
};
__thread WaitSet t_wait;
struct WaitSetCloser {
    ~WaitSetCloser() { forget(); }
    static void forget() {
        if (t_wait.epoll_fd >= 0) close(t_wait.epoll_fd);
        t_wait = WaitSet{};
    }
};
thread_local WaitSetCloser t_wait_closer;

// In the child of a fork: the receiving sockets belong to the parent (held
// here they would outlive it, and posts would be queued where nobody reads);
// the epoll sets and the sockets this thread kept for sending are shared with
// the parent, which changing them would disturb.
void fork_prepare() { pthread_mutex_lock(&g_servers_lock); }
void fork_parent() { pthread_mutex_unlock(&g_servers_lock); }
void fork_child() {
    for (PipeServer *s = g_servers; s != nullptr; s = s->next) {
        s->fd.reset();
        s->epoll_fd.reset();
        s->inherited = true;
        // Its thread was not copied into the child.
        if (s->running) service_threads_add(-1);
        s->running = false;
    }
    pthread_mutex_unlock(&g_servers_lock);
    t_senders.forget();
    WaitSetCloser::forget();
}

// Messages read with one system call.
constexpr unsigned kBatch = 64;

// The kernel wakes one sleeper per message. A waiting thread that it woke
// and that was killed before it read leaves the message queued, and nobody
// woken for it: the server thread also reads after every second without a
// wake-up.
constexpr int kServerRoundMs = 1000;

// Reads and hands on every message queued, counting them in *handled. A
// datagram that is not exactly 4 bytes (from a stranger, or cut short) is
// dropped. False when the receive failed in a way that calls for a pause
// (out of memory).
bool drain(PipeServer *s, size_t *handled = nullptr) {
    uint32_t values[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch] = {};
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {&values[i], sizeof values[i]};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        int n = sys::retry(
            [&] { return recvmmsg(s->fd.get(), msgs, kBatch, MSG_DONTWAIT, nullptr); });
        if (n < 0) return errno == EAGAIN;
        for (int i = 0; i < n; ++i) {
            if (msgs[i].msg_len == sizeof(uint32_t) && !(msgs[i].msg_hdr.msg_flags & MSG_TRUNC)) {
                s->handler(values[i]);
                if (handled != nullptr) ++*handled;
            }
        }
        if (unsigned(n) < kBatch) return true;
    }
}

void *server_main(void *arg) {
    auto *s = static_cast<PipeServer *>(arg);
    for (;;) {
        epoll_event ev[2];
        int n = sys::retry([&] { return epoll_wait(s->epoll_fd.get(), ev, 2, kServerRoundMs); });
        if (n < 0) {
            sleep_ms(kBusyPauseMs);
            continue;
        }
        bool stop = false, readable = n == 0;
        for (int i = 0; i < n; ++i) (ev[i].data.u64 == kWakeTag ? stop : readable) = true;
        if (stop) break;
        // Recover from a passing shortage instead of spinning on it.
        if (readable && !drain(s)) sleep_ms(kBusyPauseMs);
    }
    // Stopping: what senders queued before the stop is still delivered.
    drain(s);
    return nullptr;
}

// The kept socket for pid under rundir: the entry that has it, or a new
// entry (the oldest one gives its socket up).
Sender &sender_for(uint32_t pid, const char *rundir) {
    Senders &all = t_senders;
    for (Sender &e : all.entries)
        if (e.fd && e.pid == pid && e.rundir == rundir) return e;
    Sender &e = all.entries[all.next];
    all.next = (all.next + 1) % kSenders;
    e.fd.reset();
    e.pid = pid;
    e.rundir = rundir;
    return e;
}

// One message on a connected socket whose sends wait up to kBusyPauseMs for
// room: at most retries attempts while the receiver's queue stays full.
int send_message(int fd, uint32_t message, uint32_t retries) {
    for (uint32_t attempt = 1;;) {
        ssize_t n = sys::retry([&] { return send(fd, &message, sizeof message, MSG_NOSIGNAL); });
        if (n == ssize_t(sizeof message)) return 0;
        if (n >= 0) return EMSGSIZE;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        if (attempt++ >= retries) return EAGAIN;
    }
}

int epoll_add(int epoll_fd, int fd, uint32_t events, uint64_t tag) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tag;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0 ? 0 : errno;
}

// Puts the calling thread's wait set in order for a wait on s with wake.
int prepare_wait_set(PipeServer *s, Waitable *wake) {
    WaitSet &w = t_wait;
    if (w.epoll_fd < 0) {
        int fd = epoll_create1(EPOLL_CLOEXEC);
        if (fd < 0) return errno;
        (void)&t_wait_closer;  // gives the set back when the thread ends
        w = WaitSet{fd, 0, -1};
    }
    if (w.server != s->id) {
        // A new thread on the socket goes ahead of the server thread: the
        // server's entry is taken out and put back, behind it. A message
        // that arrives in between is seen by the server when it is back.
        if (int err = epoll_add(w.epoll_fd, s->fd.get(), kExclusiveIn, kSocketTag)) return err;
        Locked order(s->order_lock);
        epoll_ctl(s->epoll_fd.get(), EPOLL_CTL_DEL, s->fd.get(), nullptr);
        if (int err = epoll_add(s->epoll_fd.get(), s->fd.get(), kExclusiveIn, kSocketTag))
            return err;
        w.server = s->id;
    }
    if (w.wake_fd != wake->fd()) {
        if (w.wake_fd >= 0) epoll_ctl(w.epoll_fd, EPOLL_CTL_DEL, w.wake_fd, nullptr);
        w.wake_fd = -1;
        if (int err = epoll_add(w.epoll_fd, wake->fd(), EPOLLIN, kWakeTag)) return err;
        w.wake_fd = wake->fd();
    }
    return 0;
}

}  // namespace

std::string pipe_name(uint32_t pid) {
    char name[32];
    std::snprintf(name, sizeof name, names::kEventSocket, pid);
    return name;
}

int pipe_create(uint32_t pid, PipeServer **out) {
    static const int fork_handled = at_fork(fork_prepare, fork_parent, fork_child);
    (void)fork_handled;
    std::string path;
    if (int err = object_path(pipe_name(pid), &path)) return err;
    std::unique_ptr<PipeServer> s(new (std::nothrow) PipeServer);
    if (s == nullptr) return ENOMEM;
    s->path = path;
    s->id = g_next_id.fetch_add(1);
    // A socket file of our identifier was left by a dead process: the bind
    // removes it.
    int bound = -1;
    if (int err = sock_bind_datagram(s->path, &bound)) return err;
    s->fd.reset(bound);
    TempName name(s->path);
    s->wake_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!s->wake_fd) return errno;
    s->epoll_fd.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!s->epoll_fd) return errno;
    if (int err = epoll_add(s->epoll_fd.get(), s->wake_fd.get(), EPOLLIN, kWakeTag)) return err;
    if (int err = epoll_add(s->epoll_fd.get(), s->fd.get(), kExclusiveIn, kSocketTag)) return err;
    name.keep();
    Locked servers(g_servers_lock);
    s->next = g_servers;
    g_servers = s.get();
    *out = s.release();
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
    std::unique_ptr<PipeServer> owned(s);
    {
        Locked servers(g_servers_lock);
        for (PipeServer **p = &g_servers; *p != nullptr; p = &(*p)->next) {
            if (*p == s) {
                *p = s->next;
                break;
            }
        }
    }
    // The thread and the name belong to the parent when a fork made this copy.
    if (!s->inherited) {
        // Remove the name first, so that no new sender finds a closing socket;
        // what was sent until the thread stops is still handled.
        unlink(s->path.c_str());
        if (s->running) {
            uint64_t one = 1;
            (void)sys::retry([&] { return write(s->wake_fd.get(), &one, sizeof one); });
            pthread_join(s->thread, nullptr);
            service_threads_add(-1);
        }
    }
    // Closing the socket (as the owner goes) takes it out of every thread's
    // wait set.
    pthread_mutex_destroy(&s->order_lock);
}

bool pipe_wait_ready(PipeServer *s, Waitable *wake) {
    return s->fd && s->running && !s->inherited && prepare_wait_set(s, wake) == 0;
}

int pipe_wait(PipeServer *s, Waitable *wake, uint32_t timeout_ms, size_t *index) {
    const bool forever = timeout_ms == 0xFFFFFFFFu;
    const int64_t deadline = int64_t(monotonic_ms()) + timeout_ms;
    for (;;) {
        int64_t left = forever ? -1 : deadline - int64_t(monotonic_ms());
        if (left < 0 && !forever) left = 0;
        epoll_event ev[2];
        int n = epoll_wait(t_wait.epoll_fd, ev, 2, left > INT_MAX ? INT_MAX : int(left));
        if (n < 0 && errno != EINTR) return errno;
        bool woken = false, readable = false;
        for (int i = 0; i < n; ++i) (ev[i].data.u64 == kWakeTag ? woken : readable) = true;
        bool taken = woken && wake->try_take();
        // Read what the kernel woke this thread for, even when the wake
        // event ends the wait: the server was not woken for it.
        size_t handled = 0;
        if (readable) drain(s, &handled);
        // The wake event comes first, as the lowest position of a wait.
        if (taken || handled > 0) {
            *index = taken ? 0 : 1;
            return 0;
        }
        if (!forever && int64_t(monotonic_ms()) >= deadline) return ETIMEDOUT;
    }
}

void pipe_wait_forget(Waitable *wake) {
    WaitSet &w = t_wait;
    if (w.epoll_fd >= 0 && w.wake_fd == wake->fd()) {
        epoll_ctl(w.epoll_fd, EPOLL_CTL_DEL, w.wake_fd, nullptr);
        w.wake_fd = -1;
    }
}

int pipe_send(uint32_t pid, uint32_t message, SendStep *step, uint32_t retries) {
    *step = SendStep::Connect;
    char rundir[4096];
    if (env_get("ZAXXLIB_RUNDIR", rundir, sizeof rundir) < 0) rundir[0] = '\0';
    Sender &sender = sender_for(pid, rundir);
    for (;;) {
        bool fresh = !sender.fd;
        if (fresh) {
            std::string path;
            int fd = -1;
            if (int err = object_path(pipe_name(pid), &path)) return err;
            if (int err = sock_connect_datagram(path, &fd)) return err;
            sender.fd.reset(fd);
            (void)sock_set_timeout(fd, kBusyPauseMs);
        }
        int err = send_message(sender.fd.get(), message, retries);
        if (err == 0) return 0;
        sender.fd.reset();
        // The receiver this socket was connected to has gone: a new one may
        // be bound at the name by now.
        bool gone = err == ECONNREFUSED || err == ENOTCONN || err == ECONNRESET;
        if (gone && !fresh) continue;
        if (gone) return ECONNREFUSED;
        if (err != EAGAIN) *step = SendStep::Write;
        return err;
    }
}

}  // namespace zax::os

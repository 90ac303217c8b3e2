#include "os/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "os/own.h"
#include "os/syscall.h"

extern char **environ;

namespace zax::os {

namespace {

int pidfd_open(pid_t pid) { return int(syscall(SYS_pidfd_open, pid, 0)); }

// The code of a child that waitid reported.
uint32_t code_of(const siginfo_t &info) {
    if (info.si_code == CLD_EXITED) return uint32_t(info.si_status);
    return 128u + uint32_t(info.si_status);
}

// True when the pidfd says the process has ended.
bool pidfd_ended(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = sys::retry([&] { return poll(&p, 1, 0); });
    return r == 1 && (p.revents & (POLLIN | POLLHUP)) != 0;
}

}  // namespace

int Process::exit_code(uint32_t *code) {
    if (!ended_) {
        siginfo_t info{};
        if (sys::retry([&] { return waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT); }) < 0) {
            int err = errno;
            // A program that ignores SIGCHLD, or reaps every child itself,
            // takes the child and its code away: the pidfd still tells that
            // it ended, the code is lost.
            if (err != ECHILD || !pidfd_ended(pidfd_.get())) return err;
            ended_ = true;
            code_ = 0;
        } else if (info.si_pid != 0) {
            ended_ = true;
            code_ = code_of(info);
        }
    }
    *code = code_;
    return 0;
}

int Process::kill(bool group) {
    if (group) {
        // The leader is not reaped before process_close, so its pid is still
        // the group's id even when it has ended.
        if (::kill(-pid_t(pid_), SIGKILL) != 0 && errno != ESRCH) return errno;
        return 0;
    }
    if (syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0) != 0 && errno != ESRCH)
        return errno;
    return 0;
}

namespace {

// The attributes and file actions of a spawn, destroyed with the owner.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    int err = posix_spawnattr_init(&attr);
    int actions_err = err != 0 ? err : posix_spawn_file_actions_init(&actions);
    ~SpawnSetup() {
        if (actions_err == 0) posix_spawn_file_actions_destroy(&actions);
        if (err == 0) posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

int process_spawn(const char *program, const char *const *argv, bool own_group, Process **out) {
    SpawnSetup setup;
    if (setup.actions_err != 0) return setup.actions_err;
    posix_spawnattr_t &attr = setup.attr;
    posix_spawn_file_actions_t &actions = setup.actions;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
    int err = posix_spawnattr_setflags(&attr, flags);
    if (err == 0) err = posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &all);
    if (err == 0 && own_group) err = posix_spawnattr_setpgroup(&attr, 0);
    // Only the standard streams reach the child, whatever the program left
    // without close-on-exec.
    if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = -1;
    if (err == 0) {
        // glibc reports a failed exec here and reaps that child itself.
        err = posix_spawnp(&pid, program, &actions, &attr, const_cast<char *const *>(argv),
                           environ);
    }
    if (err != 0) return err;

    Fd fd(pidfd_open(pid));
    const int e = fd ? ENOMEM : errno;  // the failure, should no handle come of it
    Process *p = fd ? new (std::nothrow) Process(std::move(fd), uint32_t(pid)) : nullptr;
    if (p == nullptr) {
        // Without a handle the child cannot be kept: end and reap it.
        ::kill(pid, SIGKILL);
        (void)sys::retry([&] { return waitpid(pid, nullptr, 0); });
        return e;
    }
    *out = p;
    return 0;
}

int process_close(Process *p, bool wait) {
    siginfo_t info{};
    // ECHILD: someone else reaped it already; nothing is left to collect.
    (void)sys::retry([&] { return waitid(P_PID, id_t(p->pid_), &info, WEXITED | (wait ? 0 : WNOHANG)); });
    int err = p->pidfd_.close();
    delete p;
    return err;
}

int process_probe() {
    Fd fd(pidfd_open(getpid()));
    return fd ? 0 : errno;
}

}  // namespace zax::os

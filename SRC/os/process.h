// Child processes: started with posix_spawn (no shell), held by a pidfd that
// a wait for any can poll, reaped in one place.
//
// Exit codes can only be read for our own children, and only until they are
// reaped: the code is looked at with waitid(WNOWAIT), which leaves the child
// a zombie (so that its pid and process group stay reserved while the
// library holds it), and the real reap happens once, in process_close.
#pragma once
#include <cstdint>
#include <utility>

#include "os/event.h"
#include "os/own.h"

namespace zax::os {

// The exit code of a process or thread that still runs.
constexpr uint32_t kStillActive = 259;

class Process : public Waitable {
public:
    // Polls readable once the process has ended; it stays so.
    int fd() const override { return pidfd_.get(); }
    // Taking consumes nothing: an ended process stays signalled.
    bool try_take() override { return true; }

    uint32_t pid() const { return pid_; }
    // The exit code: kStillActive while it runs, the status it ended with,
    // or 128 + N after a death by signal N. 0 or errno (the code is then
    // untouched).
    [[nodiscard]] int exit_code(uint32_t *code);
    // Send SIGKILL to the process (0 when it has already ended), or to every
    // process of its group when group is true. 0 or errno.
    [[nodiscard]] int kill(bool group);

    Process(Fd pidfd, uint32_t pid) : pidfd_(std::move(pidfd)), pid_(pid) {}

private:
    friend int process_close(Process *p, bool wait);
    Fd pidfd_;
    uint32_t pid_;
    bool ended_ = false;  // exit code seen
    uint32_t code_ = kStillActive;
};

// Start program (searched in PATH when it has no "/") with argv (argv[0]
// included, null-terminated), the caller's environment and directory, only
// descriptors 0 to 2 inherited, and default signal dispositions and mask.
// own_group: the child leads a new process group. 0 with *out, or the errno
// of the failing step (nothing is left behind: no zombie, no descriptor).
[[nodiscard]] int process_spawn(const char *program, const char *const *argv, bool own_group, Process **out);

// Reap the process, close its pidfd and free it. wait: wait for a process
// that has not ended yet (call after it ended or was killed); without it a
// process still running is not reaped here. 0 or the errno of the close;
// the record is gone either way.
[[nodiscard]] int process_close(Process *p, bool wait);

// Whether this system gives process descriptors (pidfd_open): 0 or errno.
[[nodiscard]] int process_probe();

}  // namespace zax::os

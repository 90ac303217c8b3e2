// Waitable objects and events.
//
// Everything a wait for any can wait on (events, the wake events of the large
// event mode, and handles of processes and threads) is a Waitable: a
// descriptor that polls readable while the object may be signalled, plus a
// step that takes the signal. Kinds that stay signalled (a process or thread
// that ended) take without consuming. New kinds derive from Waitable and join
// every wait unchanged.
#pragma once
#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "os/own.h"

namespace zax::os {

class Waitable {
public:
    virtual ~Waitable() = default;
    // The descriptor to poll for readability.
    virtual int fd() const = 0;
    // Take the signal without blocking: true when this call took it (or the
    // object stays signalled), false when another taker was faster.
    virtual bool try_take() = 0;
    // Signal the object: 0 or errno (EBADF for kinds that cannot be posted).
    [[nodiscard]] virtual int post() { return EBADF; }
};

// An auto-reset event: a post signals it, one take clears it; several posts
// before a take count as one.
class Event : public Waitable {
public:
    Event(Fd fd, bool named) : fd_(std::move(fd)), named_(named) {}
    int fd() const override { return fd_.get(); }
    bool try_take() override;
    [[nodiscard]] int post() override;
    // Close the descriptor; 0 or errno (the descriptor is gone either way).
    [[nodiscard]] int close_fd() { return fd_.close(); }

private:
    Fd fd_;
    bool named_;  // a FIFO of the run-time directory, else an eventfd
};

// A latch: once posted it stays signalled, and taking consumes nothing (the
// handle of a thread that ended). An eventfd private to the process.
class Latch : public Waitable {
public:
    explicit Latch(Fd fd) : fd_(std::move(fd)) {}
    int fd() const override { return fd_.get(); }
    bool try_take() override;
    [[nodiscard]] int post() override;

private:
    Fd fd_;
};

// A new latch, not signalled; 0 or errno. Free it with delete.
[[nodiscard]] int latch_create(Latch **out);

// An unnamed event (eventfd); 0 or errno.
[[nodiscard]] int event_create(Event **out);
// The event named name, a FIFO of the run-time directory created when
// missing; every opener in every process shares its state, which lasts while
// any of them holds it open. 0 or errno.
[[nodiscard]] int event_open(const std::string &name, Event **out);
// Close and free; 0 or errno of the close.
[[nodiscard]] int event_close(Event *e);

}  // namespace zax::os

// The per-process event socket: a Unix-domain datagram socket of the run-time
// directory named after the process identifier (".zaxfifo%08x"). A message is
// one 4-byte datagram, sent from a socket that the sending thread keeps. In
// the receiving process, a server thread, or a thread that waits for its
// own events with pipe_wait, reads all that is queued at each wake-up and
// hands each message to a handler.
#pragma once
#include <cstdint>
#include <string>

#include "os/event.h"

namespace zax::os {

struct PipeServer;
using PipeHandler = void (*)(uint32_t message);

// How long a sender keeps trying while the target's queue is full: each
// attempt waits up to kBusyPauseMs for room, at most kBusyRetries attempts
// (about five seconds).
constexpr uint32_t kBusyPauseMs = 5;
constexpr uint32_t kBusyRetries = 1000;

// The socket's file name for process pid.
std::string pipe_name(uint32_t pid);

// Bind process pid's socket (a file left by a dead process of the same
// identifier is removed first); 0 with *out, or an errno.
[[nodiscard]] int pipe_create(uint32_t pid, PipeServer **out);
// Start the server thread; 0 or the errno of the thread's creation.
[[nodiscard]] int pipe_start(PipeServer *server, PipeHandler handler);
// Stop the server thread (it handles the messages already queued first),
// close and remove the socket, free the server.
void pipe_destroy(PipeServer *server);

// Makes the calling thread ready to wait with pipe_wait on server and wake;
// false when it cannot (a copy of the server that fork left in a child, or
// no descriptor to spare), and the thread then waits without the socket.
bool pipe_wait_ready(PipeServer *server, Waitable *wake);
// After pipe_wait_ready: wait, reading server's socket meanwhile, until wake
// can be taken (*index 0) or the socket brought messages that this thread
// read and handed to the handler (*index 1). While a thread waits so, a
// message wakes it instead of the server thread. timeout_ms on the monotonic
// clock, 0xFFFFFFFF without limit. 0, ETIMEDOUT, or the errno of the wait.
[[nodiscard]] int pipe_wait(PipeServer *server, Waitable *wake, uint32_t timeout_ms, size_t *index);
// The calling thread will not wait on wake again (before it is closed).
void pipe_wait_forget(Waitable *wake);

// Which step of a send failed.
enum class SendStep { Connect, Write };
// Send one message to process pid's socket, waiting while its queue is full
// (at most retries attempts of kBusyPauseMs). 0, or errno with *step: ENOENT
// (no socket), ECONNREFUSED (nobody receives there any more), EAGAIN (still
// full after the retries) ... at Connect; any other error of the send at
// Write.
[[nodiscard]] int pipe_send(uint32_t pid, uint32_t message, SendStep *step,
                            uint32_t retries = kBusyRetries);

}  // namespace zax::os

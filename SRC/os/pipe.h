// The per-process event socket: a Unix-domain stream socket of the run-time
// directory named after the process identifier (".zaxfifo%08x"). One
// connection carries one 4-byte message; a server thread of the process reads
// them and hands each to a handler.
#pragma once
#include <cstdint>
#include <string>

namespace zax::os {

struct PipeServer;
using PipeHandler = void (*)(uint32_t message);

// How long a sender keeps retrying while the target's backlog is full:
// every kBusyPauseMs, at most kBusyRetries times (about five seconds).
constexpr uint32_t kBusyPauseMs = 5;
constexpr uint32_t kBusyRetries = 1000;

// The socket's file name for process pid.
std::string pipe_name(uint32_t pid);

// Bind and listen on process pid's socket (a file left by a dead process of
// the same identifier is removed first); 0 or errno.
int pipe_create(uint32_t pid, PipeServer **out);
// Start the server thread; 0 or the errno of the thread's creation.
int pipe_start(PipeServer *server, PipeHandler handler);
// Stop the server thread (it handles the connections already queued first),
// close and remove the socket, free the server.
void pipe_destroy(PipeServer *server);

// Which step of a send failed.
enum class SendStep { Connect, Write };
// Send one message to process pid's socket, retrying while its backlog is
// full. 0, or errno with *step: ENOENT (no socket), ECONNREFUSED (nobody
// listens), EAGAIN (still busy after the retries) ... at Connect; the errno of
// the write at Write.
int pipe_send(uint32_t pid, uint32_t message, SendStep *step);

}  // namespace zax::os

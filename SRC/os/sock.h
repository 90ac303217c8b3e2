// Unix-domain stream sockets in the run-time directory: the transport of the
// library's one-exchange-per-connection pipes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zax::os {

// Connect to the socket at path. Returns 0 and a blocking descriptor in fd,
// or an errno: ENOENT when nobody serves the path, ECONNREFUSED for a socket
// file that nobody listens on, EAGAIN when the listener's backlog is full, and
// ETIMEDOUT when it stayed full for wait_ms milliseconds.
int sock_connect(const std::string &path, uint32_t wait_ms, int &fd);

// Listen on path: a socket file left by a dead server is removed first; a live
// server there gives EADDRINUSE. The file is made mode 0666 (every user of the
// machine may connect). Returns 0 and the descriptor in fd, or an errno.
int sock_listen(const std::string &path, int backlog, int &fd);

// Accept one connection (non-blocking listener or not); 0 or errno.
int sock_accept(int listen_fd, int &fd);

// Limit how long a read or write on fd may block; 0 or errno.
int sock_set_timeout(int fd, uint32_t ms);

// Move exactly n bytes; 0 or errno. A peer that closes before all bytes have
// arrived gives ECONNRESET: a read of 0 bytes ends the exchange.
int read_exact(int fd, void *buf, size_t n);
int write_exact(int fd, const void *buf, size_t n);

// Close without losing the caller's errno.
void close_fd(int fd);

}  // namespace zax::os

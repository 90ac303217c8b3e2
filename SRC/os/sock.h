// Unix-domain sockets in the run-time directory: stream sockets carry the
// library's one-exchange-per-connection pipes, datagram sockets its one-way
// posts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zax::os {

// Who is at the other end of a connected socket, as the kernel saw it when
// the connection was made (for a server: when it started listening).
struct PeerCredentials {
    uint32_t pid = 0, uid = 0, gid = 0;
    std::vector<uint32_t> groups;  // supplementary groups, when the kernel tells
};
[[nodiscard]] int sock_peer(int fd, PeerCredentials *out);

// Connect to the socket at path, waiting up to wait_ms milliseconds while the
// listener's backlog is full (retrying every 5 ms). Returns 0 and a blocking
// descriptor in *fd, or an errno: ENOENT when nobody serves the path,
// ECONNREFUSED for a socket file that nobody listens on, EAGAIN when the
// backlog stayed full.
[[nodiscard]] int sock_connect(const std::string &path, uint32_t wait_ms, int *fd);

// Listen on path: a socket file left by a dead server is removed first; a live
// server there gives EADDRINUSE. The file gets the sharing mode's access
// (os/rundir.h): whoever may use the run-time directory's objects may
// connect. Returns 0 and the descriptor in *fd, or an errno.
[[nodiscard]] int sock_listen(const std::string &path, int backlog, int *fd);

// Bind a datagram socket at path, with the rules of sock_listen for a file
// that is there already and for the file's mode. The socket does not block.
// Returns 0 and the descriptor in *fd, or an errno.
[[nodiscard]] int sock_bind_datagram(const std::string &path, int *fd);

// A datagram socket connected to the one bound at path, its sends blocking
// (as long as sock_set_timeout allows) while the receiver's queue is full.
// Returns 0 and the descriptor in *fd, or an errno: ENOENT when there is no
// socket file, ECONNREFUSED when nobody is bound to it any more.
[[nodiscard]] int sock_connect_datagram(const std::string &path, int *fd);

// Accept one connection (non-blocking listener or not); 0 and *fd, or errno.
[[nodiscard]] int sock_accept(int listen_fd, int *fd);

// Limit how long a read or write on fd may block; 0 or errno.
[[nodiscard]] int sock_set_timeout(int fd, uint32_t ms);

// Move exactly n bytes; 0 or errno. A peer that closes before all bytes have
// arrived gives ECONNRESET: a read of 0 bytes ends the exchange.
[[nodiscard]] int read_exact(int fd, void *buf, size_t n);
[[nodiscard]] int write_exact(int fd, const void *buf, size_t n);

// read_exact within a budget: *remaining_ms is what is left of the caller's
// time and is lowered by the time spent here, so that several reads can
// share one budget. ETIMEDOUT when it runs out before n bytes arrived.
[[nodiscard]] int read_exact_timed(int fd, void *buf, size_t n, uint32_t *remaining_ms);

}  // namespace zax::os

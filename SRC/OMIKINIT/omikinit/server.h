// The initiator service's server: who may use it, and the loop that serves
// every client connection at once.
#pragma once
#include <cstdint>
#include <cstdio>

#include "os/sharing.h"
#include "os/sock.h"
#include "table.h"

namespace zax::omik {

// A whole exchange (request in, reply out) must end within this time after
// the connection was accepted; a client that is slower is dropped.
constexpr uint32_t kExchangeTimeoutMs = 2000;
// Connections served at once. When all are taken, the oldest connection of
// the user who holds the most is dropped for the new one: one user's idle
// connections cannot lock the others out.
constexpr size_t kMaxConnections = 256;

// Who may talk to the service, from the sharing mode of its run-time
// directory and the client's credentials as the kernel gives them.
struct Access {
    os::Sharing sharing;
    uint32_t service_uid = 0;

    // A member of the sharing scope (os::in_scope), a member of the group
    // also by one of the supplementary groups the process holds.
    bool in_scope(const os::PeerCredentials &peer) const;
    // May use the service at all: in the scope, root, or the service's user.
    bool admits(const os::PeerCredentials &peer) const;
    // May overwrite or remove an entry that registrar_uid registered: that
    // user, root, or any member of the scope. A list is often freed by its
    // last user, who need not be the one who made it.
    bool may_change(const os::PeerCredentials &peer, uint32_t registrar_uid) const;
};

// Serves listen_fd until stop_fd becomes readable. Every connection is
// non-blocking and has its own deadline, so an idle or slow client never
// delays another. Requests from clients that access does not admit are
// answered with kStatusDenied.
void serve(int listen_fd, int stop_fd, VectorTable &table, const Access &access);

// The service's log: null for none. log_line writes one stamped line to it.
void set_log(FILE *log);
void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zax::omik

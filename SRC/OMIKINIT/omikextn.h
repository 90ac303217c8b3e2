// The library's client of the initiator service: one request and one reply
// per connection, serialised machine-wide by the initiator mutex.
#pragma once
#include <cstdint>

#include "OMIKINIT/omikproto.h"

namespace zax::omik {

struct Connection;

// Send the request: up to kSendAttempts attempts with a pause of
// pause_ms between failed ones. Returns the connection, holding the
// machine-wide mutex (unless it could not be opened or waited for: only a
// wait that runs out fails an attempt), or nullptr with the errno of the
// last failure in err.
Connection *send_request(const Message &request, int &err);

// Read the reply into reply (the request's buffer), and the payload when the
// reply has one: into a block from XAllocMemory handed over through payload,
// or read and dropped when payload is null. Always ends the exchange and
// frees the connection. Returns true, or false with the errno in err:
// ETIMEDOUT when the reply (payload included) has not come within
// reply_wait_ms of the start of this step.
bool receive_reply(Message &reply, Connection *conn, void **payload, int &err);

// Attempts of the send step, and the pause after a failed one (tests shorten
// the pause, never the count).
constexpr uint32_t kSendAttempts = 101;
extern uint32_t pause_ms;  // 100

// How long the receive step waits for the whole reply. A service that is
// stopped or does not speak the protocol costs at most this, after which the
// machine-wide mutex is free again for the other clients. Tests may shorten it.
constexpr uint32_t kReplyWaitMs = 5000;
extern uint32_t reply_wait_ms;

}  // namespace zax::omik

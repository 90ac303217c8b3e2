// The initiator protocol: one 52-byte request and one 52-byte reply (plus an
// optional payload) per connection to the socket "ZAX_OMIKINIT" of the
// run-time directory. Shared by the library's client and the service.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zax::omik {

constexpr const char *kSocketName = "ZAX_OMIKINIT";
constexpr const char *kMutexName = "MUTEX_ZAX_OMIKINIT";
// The running service's pid file (its pid and a line feed), locked for the
// service's life.
constexpr const char *kPidName = "ZAX_OMIKINIT.pid";
constexpr uint16_t kProtocol = 256;

// The service's own operation: the reply carries the service's process id
// in `first` and the number of entries in `second`. Start-up, --status and
// other tools use it to tell a live service from anything else on the socket.
constexpr uint16_t kOpStatus = 1;

// Operations of the vector table.
constexpr uint16_t kOpRegister = 2;
constexpr uint16_t kOpLookup = 3;
constexpr uint16_t kOpRemove = 4;

// Reply statuses of this service (0 is success; the others are its own).
constexpr uint16_t kStatusOk = 0;
constexpr uint16_t kStatusUnknownOperation = 1;
constexpr uint16_t kStatusNoEntry = 2;
constexpr uint16_t kStatusBadRequest = 3;
constexpr uint16_t kStatusDenied = 4;    // the client's user may not do this
constexpr uint16_t kStatusNotKept = 5;   // the table file could not be written; nothing changed
constexpr uint16_t kStatusFull = 6;      // the table holds its most entries

// Numbers are in the machine's byte order.
struct Message {
    uint16_t operation;
    uint16_t subcode;
    uint16_t protocol;        // kProtocol
    uint16_t status;          // set by the service in the reply
    uint32_t pid;             // the client's process identifier
    uint32_t zero;
    uint32_t payload_length;  // bytes that follow the header
    // Operation data; for the vector table:
    uint32_t second;          // register: the second value; look-up reply: the second value
    uint32_t first;           // register: the first value; look-up reply: the first value
    uint8_t zero2[8];
    char name[16];            // entry name, zero-terminated, rest zero
};

static_assert(sizeof(Message) == 52, "the initiator message is 52 bytes");
static_assert(offsetof(Message, status) == 6 && offsetof(Message, pid) == 8 &&
                  offsetof(Message, payload_length) == 16 && offsetof(Message, second) == 20 &&
                  offsetof(Message, first) == 24 && offsetof(Message, name) == 36,
              "initiator message layout");

}  // namespace zax::omik

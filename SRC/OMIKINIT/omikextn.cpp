// omikextn: client side of the initiator protocol.
#include "OMIKINIT/omikextn.h"

#include <cerrno>
#include <string>

#include "os/file.h"
#include "os/heap.h"
#include "os/mutex.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/wait.h"
#include "os/sys.h"
#include "xint.h"

namespace zax::omik {

// The version stamp of the client; nothing reads it, but it identifies the
// build in a core file or with strings(1).
[[gnu::used]] static const char kVersionStamp[] = "ZAXVER zaxxlib omikextn 1.0";

uint32_t pause_ms = 100;
uint32_t reply_wait_ms = kReplyWaitMs;

namespace {
constexpr uint32_t kMutexWaitMs = 2000;  // for other clients' exchanges
constexpr uint32_t kPipeWaitMs = 1000;   // for a free instance of the socket
}  // namespace

struct Connection {
    os::Mutex *mutex;  // null when the mutex could not be opened
    bool held;         // whether this thread holds it for the exchange
    int fd;
};

// Gives the mutex back as the exchange ends, whatever state it is in.
static void release_mutex(Connection *c) {
    if (c->held) (void)os::mutex_unlock(c->mutex);
    if (c->mutex != nullptr) (void)os::mutex_close(c->mutex);
}

static int one_attempt(const Message &request, Connection *&out) {
    auto *c = static_cast<Connection *>(os::heap_alloc(sizeof(Connection)));
    if (c == nullptr) return ENOMEM;
    c->mutex = nullptr;
    c->held = false;
    c->fd = -1;
    // Only a wait that runs out fails the attempt. Any other end of the wait
    // counts as having the mutex: an owner that died leaves it to us, and a
    // mutex that cannot be opened or waited for (a file of another build,
    // say) leaves the exchange unserialised rather than the service
    // unreachable; the service handles each connection as a whole anyway.
    if (os::no_throw([&] { return os::mutex_open(kMutexName, &c->mutex); }) != 0) c->mutex = nullptr;
    if (c->mutex != nullptr) {
        int err = os::mutex_lock(c->mutex, kMutexWaitMs);
        if (err == ETIMEDOUT) {
            (void)os::mutex_close(c->mutex);
            (void)os::heap_free(c);
            return err;
        }
        c->held = err == 0;
    }
    int err = os::no_throw([&] {
        std::string path;
        int e = os::object_path(kSocketName, &path);
        return e != 0 ? e : os::sock_connect(path, kPipeWaitMs, &c->fd);
    });
    // The mutex is held from here to the end of the exchange: no step of it
    // may block without limit (a stopped service still takes connections).
    if (err == 0) err = os::sock_set_timeout(c->fd, reply_wait_ms);
    if (err == 0) err = os::write_exact(c->fd, &request, sizeof request);
    if (err == 0) {
        out = c;
        return 0;
    }
    if (c->fd >= 0) (void)os::file_close(c->fd);
    release_mutex(c);
    (void)os::heap_free(c);
    return err;
}

Connection *send_request(const Message &request, int &err) {
    err = 0;
    for (uint32_t attempt = 1; attempt <= kSendAttempts; ++attempt) {
        Connection *c = nullptr;
        err = one_attempt(request, c);
        if (err == 0) return c;
        if (attempt < kSendAttempts) os::sleep_ms(pause_ms);
    }
    return nullptr;
}

bool receive_reply(Message &reply, Connection *conn, void **payload, int &err) {
    // One budget for the reply and its payload: a service that trickles bytes
    // cannot stretch the exchange either.
    uint32_t budget = reply_wait_ms;
    err = os::read_exact_timed(conn->fd, &reply, sizeof reply, &budget);
    if (err == 0 && reply.payload_length != 0) {
        void *block = XAllocMemory(int32_t(reply.payload_length), 0);
        if (block == X_FAILED_PTR) {
            err = ENOMEM;
        } else {
            err = os::read_exact_timed(conn->fd, block, reply.payload_length, &budget);
            // A payload nobody asked for is read, so that the exchange ends
            // cleanly, and dropped.
            if (err == 0 && payload != nullptr)
                *payload = block;
            else
                XFreeMemory(block);
        }
    }
    (void)os::file_close(conn->fd);
    release_mutex(conn);
    (void)os::heap_free(conn);
    return err == 0;
}

}  // namespace zax::omik

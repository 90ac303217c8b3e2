// omikextn: client side of the initiator protocol.
#include "OMIKINIT/omikextn.h"

#include <cerrno>
#include <string>

#include "os/heap.h"
#include "os/mutex.h"
#include "os/rundir.h"
#include "os/sock.h"
#include "os/wait.h"
#include "xint.h"

namespace zax::omik {

// The version stamp of the client; nothing reads it, but it identifies the
// build in a core file or with strings(1).
[[gnu::used]] static const char kVersionStamp[] = "ZAXVER zaxxlib omikextn 1.0";

uint32_t pause_ms = 100;

namespace {
constexpr uint32_t kMutexWaitMs = 2000;  // for other clients' exchanges
constexpr uint32_t kPipeWaitMs = 1000;   // for a free instance of the socket
}  // namespace

struct Connection {
    os::Mutex *mutex;  // owned by the calling thread while the record exists
    int fd;
};

static int one_attempt(const Message &request, Connection *&out) {
    auto *c = static_cast<Connection *>(os::heap_alloc(sizeof(Connection)));
    if (c == nullptr) return ENOMEM;
    c->fd = -1;
    int err = os::mutex_open(kMutexName, &c->mutex);
    if (err == 0) {
        // Any end of the wait but a time-out counts as having the mutex: an
        // owner that died leaves it to us.
        err = os::mutex_lock(c->mutex, kMutexWaitMs);
        if (err == 0) {
            std::string path;
            err = os::object_path(kSocketName, path);
            if (err == 0) err = os::sock_connect(path, kPipeWaitMs, c->fd);
            if (err == 0) err = os::write_exact(c->fd, &request, sizeof request);
            if (err == 0) {
                out = c;
                return 0;
            }
            os::close_fd(c->fd);
            os::mutex_unlock(c->mutex);
        }
        os::mutex_close(c->mutex);
    }
    os::heap_free(c);
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
    err = os::read_exact(conn->fd, &reply, sizeof reply);
    if (err == 0 && reply.payload_length != 0) {
        void *block = XAllocMemory(int32_t(reply.payload_length), 0);
        if (block == X_FAILED_PTR) {
            err = ENOMEM;
        } else {
            err = os::read_exact(conn->fd, block, reply.payload_length);
            // A payload nobody asked for is read, so that the exchange ends
            // cleanly, and dropped.
            if (err == 0 && payload != nullptr)
                *payload = block;
            else
                XFreeMemory(block);
        }
    }
    os::close_fd(conn->fd);
    os::mutex_unlock(conn->mutex);
    os::mutex_close(conn->mutex);
    os::heap_free(conn);
    return err == 0;
}

}  // namespace zax::omik

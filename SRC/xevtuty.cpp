// xevtuty: posting events into other processes (through each process's event
// socket) and the pipe-server thread that turns messages into local posts.
#include "os/pipe.h"
#include "os/sys.h"
#include "xevent.h"
#include "xint.h"

using namespace zax;

namespace {

// One 4-byte message per datagram: the key, in the machine's byte order.
static_assert(sizeof(uint32_t) == 4, "the event message is 4 bytes");

void on_message(uint32_t key) {
    // Keys that no event of ours carries, and 0, change nothing.
    post_by_key(key);
}

}  // namespace

namespace zax {

int pipe_server_start() {
    os::PipeServer *pipe = event_pipe();
    if (pipe == nullptr) return 0;
    if (int err = os::pipe_start(pipe, on_message)) {
        // Without a server nobody would ever read the socket: remove it, so
        // that senders fail at once instead of filling its queue.
        os::pipe_destroy(pipe);
        event_pipe_release();
        return err;
    }
    return 0;
}

void pipe_server_stop() {
    if (os::PipeServer *pipe = event_pipe()) {
        os::pipe_destroy(pipe);
        event_pipe_release();
    }
}

}  // namespace zax

extern "C" {

XAPI int32_t XGlobalPostEvent(XHANDLE event, uint32_t reserved, uint32_t process) {
    // Small mode: events of one key are one shared object already.
    if (!large_mode()) return XPostEvent(event, reserved);
    if (event == nullptr) {
        lib_error(FN_XGlobalPostEvent, R_XGlobalPostEvent_BAD_ARGUMENT, 1);
        return 0;
    }
    if (process == 0) {
        lib_error(FN_XGlobalPostEvent, R_XGlobalPostEvent_BAD_ARGUMENT, 3);
        return 0;
    }
    uint32_t key = 0xFFFFFFFFu;
    if (!event_key(event, &key) || key == 0xFFFFFFFFu) {
        // An event without a key (or no event of the table) cannot be
        // reached from outside.
        lib_error(FN_XGlobalPostEvent, R_XGlobalPostEvent_NO_KEY, 0);
        return 0;
    }
    os::SendStep step;
    if (int err = os::no_throw([&] { return os::pipe_send(process, key, &step); })) {
        if (step == os::SendStep::Connect)
            record_error(FN_XGlobalPostEvent, R_XGlobalPostEvent_CONNECT_FAILED, uint32_t(err),
                         kLibrary);
        else
            sys_error(FN_XGlobalPostEvent, R_XGlobalPostEvent_SEND_FAILED, err);
        return 0;
    }
    return 1;
}

}  // extern "C"

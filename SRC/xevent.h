// xevent internals for the modules that post events or end waits: the
// event-table set-up and tear-down of initialisation, posting by key (the
// pipe-server thread), and the release of a killed thread's waits.
#pragma once
#include <cstdint>

#include "xhandle.h"
#include "zaxxlib.h"

namespace zax::os {
struct PipeServer;
class Waitable;
}

namespace zax {

// Sizes of 64 or less run the small mode; the large mode's upper bound.
constexpr int32_t kSmallModeMax = 64;
constexpr int32_t kMaxEventTable = 65536;

// The event-table size: 0 before the first set-up, then fixed until the last
// tear-down.
int32_t event_table_size();
inline bool large_mode() { return event_table_size() > kSmallModeMax; }

// Read the size from ZAXXLIB_EVENT_NUMBER and, for the large mode, make the
// slots, the table lock and the process's event socket. A failure of any of
// them gives back what was made and leaves the size at 0 (not initialised),
// with its cause in the error record. Returns 1, or 0 after such a failure.
int event_table_setup();
// Free the slots and the table lock and return to the state before the
// set-up (size 0). Called after the pipe-server thread has stopped.
void event_table_teardown();

// The process's event socket made by the set-up (large mode), or null.
os::PipeServer *event_pipe();
// Forget the event socket (its server could not be started, or was stopped).
void event_pipe_release();

// Post the event whose slot holds key (large mode); nothing for an unknown
// key, key 0 and 0xFFFFFFFF.
void post_by_key(uint32_t key);
// Clear every slot on which the thread tid is registered as waiting (large
// mode; used when that thread is killed).
void release_thread_waits(uint32_t tid);
// The key of a large-mode event handle; false when it is no slot of the table.
bool event_key(XHANDLE event, uint32_t *key);

// The record behind an event handle of the small mode, and behind the handle
// of a process or thread that an event variable holds (kept inside the
// process's or thread's record): the object that a wait polls.
struct WaitRecord {
    HandleHeader header;
    os::Waitable *object;
    bool closable;  // an event, closed by XDestroyEvent
};
// Makes rec the live handle of a process's or thread's object, and ends it.
void wait_handle_open(WaitRecord &rec, os::Waitable *object);
inline void wait_handle_close(WaitRecord &rec) { handle_close_inner(rec.header); }
// Whether h is an event handle of either mode (a slot of the table, or a
// live handle of the small mode or of a process or thread).
bool event_live(XHANDLE h);

// The pipe-server thread (xevtuty): start it for the set-up's socket, and
// stop it (after it handled what was queued) and release the socket.
int pipe_server_start();
void pipe_server_stop();

}  // namespace zax

// The per-thread error record, as the library keeps it. The exit-routine
// chain head lives here too; only abnormal-end handling touches it.
#pragma once
#include <cstdint>

namespace zax {

struct ErrorRecord {
    uint32_t code;
    uint32_t detail;
    uint32_t kind;
    void *exit_chain;  // first entry of the thread's exit-routine chain
    char text[16];     // detail as "%08X"
};

// The calling thread's record, made (zero-filled) on first use; nullptr when
// no slot or no memory can be had.
ErrorRecord *thread_record();
// Give the calling thread's record back (thread end, unload).
void free_thread_record();
// The thread-end hook of the thread slot.
void release_record(void *record);

}  // namespace zax

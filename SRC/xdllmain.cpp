// xdllmain: what the library does when it is loaded into a process, when a
// thread ends, and when it is unloaded.
#include "os/slot.h"
#include "xerror.h"
#include "xint.h"

namespace zax {

int dll_entry(int reason) {
    switch (reason) {
    case 1:  // load: the thread slot and the loading thread's record
        return thread_record() != nullptr ? 1 : 0;
    case 2:  // thread attach (the layer calls it where it can; first use covers the rest)
        return thread_record() != nullptr ? 1 : 0;
    case 3:  // thread detach
        if (thread_record() == nullptr) return 0;
        free_thread_record();
        return 1;
    case 0:  // unload
        free_thread_record();
        if (os::slot_exists()) return os::slot_delete() == 0 ? 1 : 0;
        return 1;
    default:
        return 0;
    }
}

}  // namespace zax

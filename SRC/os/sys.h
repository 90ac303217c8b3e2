// Errno capture and identity of the process, the thread and the kernel.
#pragma once
#include <cstdint>

namespace zax::os {

// The errno of the last failing call on this thread.
int last_errno();
// The process identifier.
uint32_t process_id();
// The kernel's identifier of the calling thread.
uint32_t thread_id();
// Major, minor and patch numbers of the kernel release (uname); false when
// uname fails (the outputs are then untouched).
bool kernel_release(uint32_t &major, uint32_t &minor, uint32_t &patch);

}  // namespace zax::os

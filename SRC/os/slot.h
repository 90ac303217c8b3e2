// The thread slot: one process-wide thread-local slot holding, per thread,
// the pointer to that thread's error record, and the hook by which the
// library learns of a thread's end.
#pragma once

namespace zax::os {

// Called with the slot's value when a thread that has one ends.
using ThreadEndHook = void (*)(void *value);

// Allocate the process's slot if it has none yet; thread-safe and idempotent.
// 0, or the errno of why no slot can be had.
[[nodiscard]] int slot_create(ThreadEndHook on_thread_end);
// Release the slot; values still held by live threads are left alone.
// Returns 0 or the errno of the release.
[[nodiscard]] int slot_delete();
// True while the process has a slot.
[[nodiscard]] bool slot_exists();
// The calling thread's value, or nullptr.
void *slot_get();
// Store the calling thread's value; 0 or errno.
[[nodiscard]] int slot_set(void *value);
// Take the calling thread's value out of the slot and hand it to the
// thread-end hook now rather than when the thread has ended.
void slot_end_now();

}  // namespace zax::os

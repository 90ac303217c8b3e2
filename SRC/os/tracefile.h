// Trace files: the one check that a debug record needs beyond the file
// functions, on a file whose whole-file lock the caller holds.
#pragma once
#include <cstdint>

namespace zax::os {

// Whether the file still has a name: a record that ends deletes its empty
// trace file while it holds the lock, so a waiter that gets the lock next may
// hold a file that is gone.  0 with *linked, or the errno.
[[nodiscard]] int trace_file_linked(int32_t fd, bool *linked);

}  // namespace zax::os

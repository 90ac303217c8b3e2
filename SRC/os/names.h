// The names of the library's objects in the run-time directory: one printf
// format each, with the object's key (or, for an event socket, the owning
// process's identifier) as eight hexadecimal digits. The modules make names
// with these, and tools that look into the directory read names with them.
#pragma once

namespace zax::os::names {

constexpr const char kLock[] = "ZAXLOCK%08X.lck";      // the mutex of a lock object's key
constexpr const char kEvent[] = "ZAXEVT%08X.ev";       // the event of a key (small mode)
constexpr const char kSegment[] = "%08X";              // a shared segment (a global list's too)
constexpr const char kEventSocket[] = ".zaxfifo%08x";  // a process's event socket (large mode)
constexpr const char kLoadRecord[] = "%08X.load";      // the load record of a global list

}  // namespace zax::os::names

// Companion libraries: shared objects of the product family outside the
// library (the debug console), loaded on first use and kept until the
// process ends.
#pragma once

#include "zaxxlib.h"

// A companion's file name: "lib" base ".so." and the library's major version,
// the SONAME that the companion is built with, so that a library loads the
// companions of its own major version and needs no development symlink.
#define ZAX_COMPANION_STR2(x) #x
#define ZAX_COMPANION_STR(x) ZAX_COMPANION_STR2(x)
#define ZAX_COMPANION_FILE(base) "lib" base ".so." ZAX_COMPANION_STR(ZAXXLIB_VERSION_MAJOR)

namespace zax::os {

// Why a companion entry could not be had.
enum CompanionFailure { kCompanionLoaded = 0, kCompanionNoLibrary = 1, kCompanionNoEntry = 2 };

// The entry point symbol of companion library file (e.g. ZAX_COMPANION_FILE("zaxdput")).
// The library is looked for, in this order: at the path in the environment
// variable env_name when it is set and not empty (and only there); beside the
// loaded zaxxlib; through the dynamic loader's search path; in the installed
// library directory.  A library whose entry was found stays loaded; callers
// keep the entry rather than ask again.  Returns the entry, or nullptr with
// *why set.
void *companion_entry(const char *file, const char *env_name, const char *symbol,
                      CompanionFailure *why);

}  // namespace zax::os

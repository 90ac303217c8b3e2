// Companion libraries: shared objects of the product family outside the
// library (the debug console), loaded on first use and kept until the
// process ends.
#pragma once

namespace zax::os {

// Why a companion entry could not be had.
enum CompanionFailure { kCompanionLoaded = 0, kCompanionNoLibrary = 1, kCompanionNoEntry = 2 };

// The entry point symbol of companion library file (e.g. "libzaxdput.so").
// The library is looked for, in this order: at the path in the environment
// variable env_name when it is set and not empty (and only there); beside the
// loaded zaxxlib; through the dynamic loader's search path; in the installed
// library directory.  A library whose entry was found stays loaded; callers
// keep the entry rather than ask again.  Returns the entry, or nullptr with
// *why set.
void *companion_entry(const char *file, const char *env_name, const char *symbol,
                      CompanionFailure *why);

}  // namespace zax::os

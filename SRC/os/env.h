// The process environment. glibc's getenv and setenv are not safe against
// each other across threads; the library's own reads and writes go through
// here, under one lock. Variables of the library's own (ZAXXLIB_*) are read
// with secure_getenv: a set-id program sees none of them, so that whoever
// starts it cannot choose what it loads or where it keeps its objects.
#pragma once
#include <cstddef>

namespace zax::os {

// Copy the value of name into buffer (capacity bytes, always terminated when
// capacity > 0, cut when longer). Returns the value's full length, or -1 when
// the variable does not exist (or is a ZAXXLIB_* variable in a set-id
// program).
long env_get(const char *name, char *buffer, size_t capacity);
// Set name to value (overwriting); 0 or errno.
int env_set(const char *name, const char *value);
// tzset(): take the environment's TZ into the C library's local time, under
// the same lock, since tzset reads the environment.
void env_tzset();

}  // namespace zax::os

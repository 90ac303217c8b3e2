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
[[nodiscard]] int env_set(const char *name, const char *value);
// tzset(): take the environment's TZ into the C library's local time, under
// the same lock, since tzset reads the environment. tzset looks at the
// system's zone file (/etc/localtime) at every call when TZ is not set: it is
// made when TZ has changed since the last call, and otherwise at most once in
// the second now_sec (the caller's clock reading), so that a changed zone
// file counts within a second.
void env_tzset(long now_sec);

}  // namespace zax::os

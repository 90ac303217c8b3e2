// The process environment. glibc's getenv and setenv are not safe against
// each other across threads; the library's own reads and writes go through
// here, under one lock.
#pragma once
#include <cstddef>

namespace zax::os {

// Copy the value of name into buffer (capacity bytes, always terminated when
// capacity > 0, cut when longer). Returns the value's full length, or -1 when
// the variable does not exist.
long env_get(const char *name, char *buffer, size_t capacity);
// Set name to value (overwriting); 0 or errno.
int env_set(const char *name, const char *value);

}  // namespace zax::os

// Bounded message formatting shared by the console and trace modules.
#pragma once
#include <cstdarg>
#include <cstddef>

namespace zax {

// vsnprintf into buffer (size bytes, always terminated), with the family's
// integer rule: "%ld", "%lu", "%lx" and the like take a 32-bit value, as they
// do where long is 32 bits.  Returns the length the full message would have
// (which may exceed size - 1), or a negative value with errno set when the
// formatting fails.
int format_bounded(char *buffer, size_t size, const char *format, va_list args);

}  // namespace zax

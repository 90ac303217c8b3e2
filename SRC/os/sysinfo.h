// What the system tells about the machine, the user and the session, for
// the system-information record. Text results are cut to the caller's size
// (always zero-terminated).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace zax::os {

// The processor type number: 586 for 32-bit x86, 8664 for x86_64, 0 for a
// machine without a number of its own.
uint32_t cpu_type();
// The processors online.
uint32_t cpu_count();
// The three-letter country abbreviation of the default locale (the one the
// environment names, as setlocale(LC_ALL, "") would take it): 0, with an
// empty text for a locale that names no country (C, POSIX), or the errno of
// loading the locale.
[[nodiscard]] int locale_country(char *buf, size_t size);
// The command line of this process, arguments joined by spaces, when it has
// a controlling terminal: 0, or the errno of opening /dev/tty (ENXIO
// without one) or of reading the command line.
[[nodiscard]] int session_title(char *buf, size_t size);
// The host name: 0 or errno.
[[nodiscard]] int host_name(char *buf, size_t size);
// The name of the effective user: 0, ENOENT when the user database has no
// entry, or errno.
[[nodiscard]] int user_name(char *buf, size_t size);
// The home directory of the real user in the user database (not $HOME): 0,
// ENOENT when the database has no entry, or errno.
[[nodiscard]] int home_dir(std::string *path);
// The screen of the frame buffer /dev/fb0: 0 with width, height and bits
// per pixel; ENOENT (also ENODEV, ENXIO) when the machine has none, EACCES
// when this user may not open it; or the
// errno of reading it.
[[nodiscard]] int screen(uint32_t *width, uint32_t *height, uint32_t *bits);

}  // namespace zax::os

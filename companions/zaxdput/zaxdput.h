/*
 * zaxdput.h - the debug console companion of zaxxlib.
 *
 * zaxxlib hands every trace and dump line of a debug record that has no trace
 * file to XPutDebugConsole of libzaxdput.so.1 (the number is the library's
 * major version), on the caller's thread.  A replacement console is any shared
 * object that exports this function; point ZAXXLIB_ZAXDPUT at it, or put it
 * beside libzaxxlib.so under that name.
 */
#ifndef ZAXDPUT_H
#define ZAXDPUT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the per-record area that the library passes (zero when the record
 * is made, never touched by the library afterwards). */
#define ZAXDPUT_AREA_SIZE 56

/* Take one line (NUL-terminated, at most 255 characters, no line feed).
 * Returns non-zero on success; the value reaches the trace call's caller. */
__attribute__((visibility("default"))) int32_t XPutDebugConsole(void *area, const char *line);

#ifdef __cplusplus
}
#endif

#endif

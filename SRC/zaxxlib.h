/*
 * zaxxlib.h - the public interface of zaxxlib, the system-services library of
 * the ZAX program family.
 *
 * Plain C (C99 and later, and C++): every function is X-prefixed and reports
 * failures through its result and the calling thread's error record
 * (XGetLastError).  Records that cross a process, a file or a wire keep a
 * fixed layout; their sizes are pinned below.
 *
 * Sections follow the library's modules.  Keep the one-line comments current.
 */
#ifndef ZAXXLIB_H
#define ZAXXLIB_H

#include <stddef.h>
#include <stdint.h>

#if defined(ZAXXLIB_BUILDING)
#define XAPI __attribute__((visibility("default")))
#else
#define XAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Common types and values                                                   */
/* ------------------------------------------------------------------------ */

/* A handle the library gives out (lock object, event, timer, list, segment,
 * parameter file, registry key, debug record, process, thread, module). */
typedef void *XHANDLE;

/* A file handle: a descriptor, never below 3; 0 means "no file". */
typedef int32_t XFILE;

/* The failure value of functions that return a pointer or handle as -1. */
#define X_FAILED_PTR ((void *)-1)

/* Wait without limit. */
#define X_INFINITE 0xFFFFFFFFu

/* Kinds of a recorded error. */
#define X_KIND_NONE 0u    /* no error */
#define X_KIND_SYSTEM 1u  /* detail is errno (or the store's own number) */
#define X_KIND_LIBRARY 2u /* detail is an argument position, 0 or a value */

/* ------------------------------------------------------------------------ */
/* xerror: the per-thread error record                                       */
/* ------------------------------------------------------------------------ */

/* The caller's copy of the error record. */
typedef struct XErrorInfo {
    uint32_t code;   /* function code << 16 | reason; 0 for none */
    uint32_t detail; /* argument position, errno or a value */
    uint32_t kind;   /* X_KIND_* */
    char text[16];   /* detail as "%08X", zero-filled */
} XErrorInfo;

/* Store code, detail and kind in the calling thread's record; 1, or 0 when no record can be had. */
XAPI int32_t XSetLastError(uint32_t code, uint32_t detail, uint32_t kind);
/* The calling thread's last error code; fills info when it is not null. */
XAPI uint32_t XGetLastError(XErrorInfo *info);

/* ------------------------------------------------------------------------ */
/* xmeml, xbuffer, xstring, xalgo: memory, buffers, strings, arithmetic      */
/* ------------------------------------------------------------------------ */

/* A zero-filled heap block of size bytes, or X_FAILED_PTR. */
XAPI void *XAllocMemory(int32_t size, uint32_t flags);
/* Give a block from XAllocMemory back; 1 or 0. */
XAPI int32_t XFreeMemory(void *block);
/* Fill length bytes with byte; returns buffer. */
XAPI void *XClearBuf(void *buffer, uint8_t byte, int32_t length);
/* Copy length bytes between areas that do not overlap; returns destination. */
XAPI void *XCopyBuf(void *destination, const void *source, int32_t length);
/* Copy length bytes between areas that may overlap; returns destination. */
XAPI void *XMoveBuf(void *destination, const void *source, int32_t length);
/* Compare length bytes as unsigned values: -1, 0 or 1. */
XAPI int32_t XCompBuf(const void *first, const void *second, int32_t length);
/* Position of the first byte equal to byte among the first limit bytes, or -1. */
XAPI int32_t XGetBufLen(const void *buffer, uint8_t byte, int32_t limit);
/* Bytes before the terminator or a zero byte (limit -1: no bound), or -1. */
XAPI int32_t XGetStrLen(const char *text, uint8_t terminator, int32_t limit);
/* Append source to destination (both zero-terminated); returns destination. */
XAPI char *XConcatStr(char *destination, const char *source);
/* Compare two terminated strings: -2 (lengths differ), -1, 0 or 1. */
XAPI int32_t XCompStr(const char *first, const char *second, uint8_t terminator, int32_t limit);
/* 1 when each of length bytes of text occurs in the zero-terminated set allowed, else 0. */
XAPI int32_t XTestMask(const char *text, uint32_t length, const char *allowed);
/* Greatest common divisor of count values, or 0. */
XAPI uint32_t XCalcGCD(const uint32_t *values, int32_t count);
/* Greatest prime not above limit, or 0. */
XAPI uint32_t XCalcPrimeNum(uint32_t limit);

/* ------------------------------------------------------------------------ */
/* xenv: settings in the process environment (group_name_item)               */
/* ------------------------------------------------------------------------ */

/* Copy at most size bytes of the variable's value; its full length, or 0. */
XAPI int32_t XReadEnvStr(const char *group, const char *name, const char *item,
                         char *buffer, int32_t size);
/* Read the variable as a signed decimal number into *result; 1 or 0. */
XAPI int32_t XReadEnvInt(const char *group, const char *name, const char *item, int32_t *result);
/* Set the variable to the first length (1 to 256) bytes of value; 1 or 0. */
XAPI int32_t XWriteEnvStr(const char *group, const char *name, const char *item,
                          const char *value, int32_t length);
/* Set the variable to number written in decimal; 1 or 0. */
XAPI int32_t XWriteEnvInt(const char *group, const char *name, const char *item, int32_t number);

/* ------------------------------------------------------------------------ */
/* xsystem: identity queries and object keys                                 */
/* ------------------------------------------------------------------------ */

/* Platform codes. */
#define X_PLATFORM_UNIX 200
#define X_PLATFORM_WINDOWS 300
/* Operating-system name codes (see also the system description file). */
#define X_OS_LINUX 270
#define X_OS_WINNT 310
#define X_OS_WIN95 320
#define X_OS_WIN98 330

/* Operating system and version, filled by XGetOsInfo. */
typedef struct XOsInfo {
    uint32_t os_name; /* X_OS_* */
    uint32_t major;   /* kernel release, first number */
    uint32_t minor;   /* second number */
    uint32_t build;   /* third number */
} XOsInfo;

/* The calling process, filled by XGetProcInfo. */
typedef struct XProcInfo {
    uint32_t pid;      /* process identifier */
    uint32_t reserved; /* set to 0 */
    uint32_t unused;   /* not written */
    char pid_text[9];  /* pid as "%08X" */
} XProcInfo;

/* The calling thread, filled by XGetThreadInfo. */
typedef struct XThreadInfo {
    uint32_t tid;    /* thread identifier */
    uint32_t unused; /* not written */
    uint32_t tid2;   /* the thread identifier again */
} XThreadInfo;

/* Fill info (may be null) with the OS name and version; returns the platform code. */
XAPI int32_t XGetOsInfo(XOsInfo *info);
/* Fill record with the calling process's identifier; 1 or 0. */
XAPI int32_t XGetProcInfo(XProcInfo *record);
/* Fill record with the calling thread's identifier; 1 or 0. */
XAPI int32_t XGetThreadInfo(XThreadInfo *record);
/* Object key from kind (1-4), two-digit code, group (<256), number (<4096); 0 on error. */
XAPI uint32_t XMakeKey(int32_t kind, const char *code, uint32_t group, uint32_t number);
/* 1 when the registry names this machine a server, else 0. */
XAPI int32_t X_IsServer(void);

/* ------------------------------------------------------------------------ */
/* xdllmain, xlibini: load settings and explicit initialisation             */
/* ------------------------------------------------------------------------ */
/* (section xlibini: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xvector, omikextn: vector tables and the initiator client                */
/* ------------------------------------------------------------------------ */
/* (section xvector: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xdebug: trace and dump settings, trace lines, storage dumps              */
/* ------------------------------------------------------------------------ */
/* (section xdebug: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xestae: exit routines and abnormal end                                   */
/* ------------------------------------------------------------------------ */
/* (section xestae: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xcons: console and log output                                            */
/* ------------------------------------------------------------------------ */
/* (section xcons: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xlock: lock objects and compare-and-swap                                 */
/* ------------------------------------------------------------------------ */
/* (section xlock: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xevent, xevtuty: events, waits, timers, cross-process posting            */
/* ------------------------------------------------------------------------ */
/* (section xevent: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xmemg: shared memory segments                                            */
/* ------------------------------------------------------------------------ */
/* (section xmemg: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xlistuty, xlistl, xlistg: lists                                          */
/* ------------------------------------------------------------------------ */
/* (section xlist: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xfile, xfile64: files, line input and output, memory-mapped files        */
/* ------------------------------------------------------------------------ */
/* (section xfile: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xparm: parameter files                                                   */
/* ------------------------------------------------------------------------ */
/* (section xparm: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xreg: registry                                                           */
/* ------------------------------------------------------------------------ */
/* (section xreg: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xdata: code tables, byte order, hexadecimal, Kanji                       */
/* ------------------------------------------------------------------------ */
/* Table variants of the EBCDIC conversions. */
#define X_EBCDIC_LATIN 1    /* variant 1: Latin letters, no katakana */
#define X_EBCDIC_KATAKANA 2 /* variant 2: upper-case Latin and half-width katakana */

/* ASCII to EBCDIC, count bytes, through the variant's table; 1, 2 (something replaced) or 0. */
XAPI int32_t XConvAscToEbc(void *dst, const void *src, int32_t count, int32_t variant);
/* ASCII bytes to count 16-bit Unicode units; 1, 2 (something replaced) or 0. */
XAPI int32_t XConvAscToUni(uint16_t *dst, const void *src, int32_t count);
/* EBCDIC to ASCII, count bytes, through the variant's table; 1, 2 or 0. */
XAPI int32_t XConvEbcToAsc(void *dst, const void *src, int32_t count, int32_t variant);
/* EBCDIC bytes to count 16-bit Unicode units; 1, 2 or 0. */
XAPI int32_t XConvEbcToUni(uint16_t *dst, const void *src, int32_t count, int32_t variant);
/* count 16-bit Unicode units to ASCII bytes; 1, 2 or 0. */
XAPI int32_t XConvUniToAsc(void *dst, const uint16_t *src, int32_t count);
/* count 16-bit Unicode units to EBCDIC bytes; 1, 2 or 0. */
XAPI int32_t XConvUniToEbc(void *dst, const uint16_t *src, int32_t count, int32_t variant);

/* value with its two bytes exchanged (host to network order). */
XAPI uint16_t XChangeToNwkOrder16(uint16_t value);
/* value with its two bytes exchanged (network to host order). */
XAPI uint16_t XChangeToHostOrder16(uint16_t value);
/* value with its four bytes reversed (host to network order). */
XAPI uint32_t XChangeToNwkOrder32(uint32_t value);
/* value with its four bytes reversed (network to host order). */
XAPI uint32_t XChangeToHostOrder32(uint32_t value);
/* A double whose eight bytes are those of value reversed (host to network). */
XAPI double XChangeToNwkOrderDOUBLE(double value);
/* A double whose eight bytes are those of value reversed (network to host). */
XAPI double XChangeToHostOrderDOUBLE(double value);
/* Kanji codes: the native form of Japanese double-byte text. */
#define X_KANJI_SJIS 0x10     /* Shift-JIS */
#define X_KANJI_EUC 0x30      /* EUC */
#define X_KANJI_HOST_28 0x02  /* EBCDIC, shift-out 0x28, shift-in 0x29 */
#define X_KANJI_HOST_38 0x04  /* EBCDIC, shift-out 0x38, shift-in 0x29 */
#define X_KANJI_HOST_28E2 0x08 /* EBCDIC, shift-out 0x28 0x30 0xE2, shift-in 0x29 */
#define X_KANJI_HOST_MIXED 0x0D /* EBCDIC, any of the shift-outs above (read only) */
#define X_KANJI_HOST_IBM 0x20 /* EBCDIC, IBM host code, shift-out 0x0E, shift-in 0x0F */
#define X_KANJI_HOST_0A 0x40  /* EBCDIC, shift-out 0x0A 0x42, shift-in 0x0A 0x41 */
#define X_KANJI_KATAKANA 0x80 /* with an EBCDIC code: single bytes use the katakana table */

/* Native text to the shifted form (runs bracketed by 0x1E and 0x1F); 1 or 0. */
XAPI int32_t XAddKanjiShift(uint8_t code, int32_t length, const void *src, void *dst);
/* Shifted text back to the native form; 1 or 0. */
XAPI int32_t XRemoveKanjiShift(uint8_t code, int32_t length, const void *src, void *dst);
/* Length of the result of adding (direction 1) or removing (0) shift codes, or 0. */
XAPI int32_t XCountKanjiShift(uint8_t code, int32_t direction, int32_t length, const void *src);
/* XAddKanjiShift into *dstSize bytes; *dstSize gets the length written; 2 done, 1 full, 0. */
XAPI int32_t XAddKanjiShiftEx(uint8_t code, int32_t length, const void *src, int32_t *dstSize,
                              void *dst);
/* XRemoveKanjiShift into *dstSize bytes; *dstSize gets the length written; 2 done, 1 full, 0. */
XAPI int32_t XRemoveKanjiShiftEx(uint8_t code, int32_t length, const void *src,
                                 int32_t *dstSize, void *dst);

/* Convert length bytes of shifted text in place between Shift-JIS and a host form; 1 or 0. */
XAPI int32_t XConvertKanji(uint8_t from, uint8_t to, void *text, int32_t length);
/* Convert shifted text into dst (capacity *dstSize, which gets the full length); bytes placed, or 0. */
XAPI int32_t XConvertKanjiEx(uint8_t from, uint8_t to, const void *src, void *dst, int32_t length,
                             int32_t *dstSize);

/* Value of the hexadecimal digits (spaces skipped) in the first length bytes of text, or 0. */
XAPI uint32_t XAtox(const char *text, int32_t length);

/* ------------------------------------------------------------------------ */
/* xtime: clock, date and time strings, date arithmetic, packed dates       */
/* ------------------------------------------------------------------------ */
/* A clock reading (8 bytes): local date and time since 1970. */
typedef struct XClock {
    uint16_t day;         /* days since 1970-01-01 (day 0), local date */
    uint16_t minute;      /* hour * 60 + minute, 0-1439 */
    uint32_t microsecond; /* second * 1,000,000 + microseconds, 0-59,999,999 */
} XClock;

/* A broken-down date and time (16 bytes). */
typedef struct XCalendar {
    uint16_t year;        /* 1-9999 */
    uint16_t month;       /* 1-12 */
    uint16_t day;         /* 1-length of the month */
    uint16_t hour;        /* 0-23 */
    uint16_t minute;      /* 0-59 */
    uint16_t second;      /* 0-59 */
    uint32_t microsecond; /* 0-999,999 */
} XCalendar;

/* Date-string layouts (s = the separator). */
#define X_DATE_MMDDYYYY 0   /* MMDDYYYY */
#define X_DATE_MMsDDsYYYY 1 /* MMsDDsYYYY */
#define X_DATE_MMDDYY 2     /* MMDDYY */
#define X_DATE_MMsDDsYY 3   /* MMsDDsYY */
#define X_DATE_YYYYMMDD 4   /* YYYYMMDD */
#define X_DATE_YYYYsMMsDD 5 /* YYYYsMMsDD */
#define X_DATE_YYMMDD 6     /* YYMMDD */
#define X_DATE_YYsMMsDD 7   /* YYsMMsDD */

/* Fill out with the current local date and time (millisecond resolution); 1 or 0. */
XAPI int32_t XGetTime(XClock *out);
/* Expand a clock reading into a calendar record; 1 or 0. */
XAPI int32_t XGetTimeDetail(const XClock *in, XCalendar *out);
/* Build a clock reading from a checked calendar record (the clock is not read); 1 or 0. */
XAPI int32_t XGetTimeCurrent(const XCalendar *in, XClock *out);
/* Write the date of in as text in layout 0-7 (then a separator char argument), NUL-terminated; 1 or 0. */
XAPI int32_t XGetDateStr(int32_t layout, const XCalendar *in, char *out, ...);
/* Write the time of in as "HHsMMsSS" (or "HHMMSS" when separator is NUL); 1 or 0. */
XAPI int32_t XGetTimeStr(const XCalendar *in, char *out, char separator);
/* 1 when text holds a valid date in layout 0-7 (two-digit years in 1970-2069), else 0. */
XAPI int32_t XCheckDate(int32_t layout, const char *text);
/* Move the date in text by days (signed), in place, within 1970-01-02..2069-12-31; 1 or 0. */
XAPI int32_t XShiftDate(int32_t layout, char *text, int32_t days);
/* Pack the date of in as 4 BCD bytes YYYYDDDF (year, day of year, sign); 1 or 0. */
XAPI int32_t XPackDate(const XCalendar *in, void *out);
/* Unpack 4 BCD bytes YYYYDDDs into year, month and day of out; 1 or 0. */
XAPI int32_t XUnpackDate(XCalendar *out, const void *in);
/* Pack the time of in as 4 BCD bytes: hour, minute, second, hundredths; 1 or 0. */
XAPI int32_t XPackTime(const XCalendar *in, void *out);
/* Unpack 4 BCD bytes into hour, minute, second and microseconds of out; 1 or 0. */
XAPI int32_t XUnpackTime(XCalendar *out, const void *in);

/* ------------------------------------------------------------------------ */
/* xsysfl: system description file                                          */
/* ------------------------------------------------------------------------ */
/* (section xsysfl: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xsysfc: system and process information, unique keys                      */
/* ------------------------------------------------------------------------ */
/* (section xsysfc: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xtask: processes, job processes and threads                              */
/* ------------------------------------------------------------------------ */
/* (section xtask: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xload: modules and message strings                                       */
/* ------------------------------------------------------------------------ */
/* (section xload: declarations go here) */

#ifdef __cplusplus
}
#endif

#endif /* ZAXXLIB_H */

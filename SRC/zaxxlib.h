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
/* Look up name (at most 8 characters) with the initiator service; its first value, or 0. */
XAPI uint32_t XGetVectorTable(const char *name);
/* Look up name; values receive first and second; returns the first value, or 0. */
XAPI uint32_t XGetVectorTableEx(const char *name, uint32_t values[2]);
/* Register name with two non-zero values; 1 or 0. */
XAPI int32_t XSetVectorTable(const char *name, uint32_t first, uint32_t second);
/* Remove name's entry; 1 or 0. */
XAPI int32_t XResetVectorTable(const char *name);

/* ------------------------------------------------------------------------ */
/* xdebug: trace and dump settings, trace lines, storage dumps              */
/* ------------------------------------------------------------------------ */
/* (section xdebug: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xestae: exit routines and abnormal end                                   */
/* ------------------------------------------------------------------------ */
/* An exit routine: called with reason 1 and the registration's parameter; its result is not used. */
typedef int32_t (*XEstaeRoutine)(uint32_t reason, uint32_t parameter);
/* The caller's exit-routine block; the routine identifies the registration. */
typedef struct XEstaeBlock {
    uint32_t reserved1;    /* not used */
    uint32_t reserved2;    /* not used */
    XEstaeRoutine routine; /* the exit routine */
} XEstaeBlock;

/* Register the block's routine with parameter for the calling thread (newest runs first); 1 or 0. */
XAPI int32_t XInitEstae(const XEstaeBlock *block, uint32_t parameter);
/* Remove the calling thread's newest registration of the block's routine; 1 or 0. */
XAPI int32_t XTermEstae(const XEstaeBlock *block);
/* End the calling thread abnormally with code through its exit routines; returns only on failure. */
XAPI int32_t XAbend(uint32_t code);
/* (section xestae: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xcons: console and log output                                            */
/* ------------------------------------------------------------------------ */
/* (section xcons: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xlock: lock objects and compare-and-swap                                 */
/* ------------------------------------------------------------------------ */
/* A lock object for key (-1: private to the process), or NULL. */
XAPI XHANDLE XCreateLockObj(int32_t key);
/* Close the lock's mutex and free the record; 1 or 0. */
XAPI int32_t XDestroyLockObj(XHANDLE lock);
/* Take the lock within timeout ms (X_INFINITE: no limit, 0: try): 1 held, 0 refused, 2 not had. */
XAPI int32_t XLockObj(XHANDLE lock, uint32_t timeout);
/* Release a lock that the calling thread holds; 1 or 0. */
XAPI int32_t XUnlockObj(XHANDLE lock);
/* 1 when the calling thread holds the lock through this record, else 0; never blocks. */
XAPI int32_t XIsLockObj(XHANDLE lock);
/* Atomically replace *word by replacement when it equals expected; 1, or 0 when it did not. */
XAPI int32_t XCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement);
/* XCompareSwap for a word in shared memory; 1 or 0. */
XAPI int32_t XGlobalCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement);

/* ------------------------------------------------------------------------ */
/* xevent, xevtuty: events, waits, timers, cross-process posting            */
/* ------------------------------------------------------------------------ */
/* (section xevent: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xmemg: shared memory segments                                            */
/* ------------------------------------------------------------------------ */
/* Create the segment of key with a zero-filled area of size bytes; the area, or X_FAILED_PTR. */
XAPI void *XAllocShrMemory(XHANDLE *handle_out, uint32_t size, uint32_t key, uint32_t tag1,
                           uint32_t tag2);
/* Attach to the allocated segment of key; its area, or X_FAILED_PTR. */
XAPI void *XOpenShrMemory(XHANDLE *handle_out, uint32_t key);
/* Free the segment's key and detach this process; 1 or 0. */
XAPI int32_t XFreeShrMemory(void *area, XHANDLE handle);
/* Detach this process from the segment; 1 or 0. */
XAPI int32_t XCloseShrMemory(void *area, XHANDLE handle);

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
/* (section xdata: declarations go here) */

/* ------------------------------------------------------------------------ */
/* xtime: clock, date and time strings, date arithmetic, packed dates       */
/* ------------------------------------------------------------------------ */
/* (section xtime: declarations go here) */

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

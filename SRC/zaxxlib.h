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

/* The library's version; the shared library's SONAME carries the major number. */
#define ZAXXLIB_VERSION_MAJOR 1
#define ZAXXLIB_VERSION_MINOR 0
#define ZAXXLIB_VERSION_PATCH 0
/* The version as one number (major * 10000 + minor * 100 + patch), for #if tests. */
#define ZAXXLIB_VERSION_NUMBER \
    (ZAXXLIB_VERSION_MAJOR * 10000 + ZAXXLIB_VERSION_MINOR * 100 + ZAXXLIB_VERSION_PATCH)
/* The version as text. */
#define ZAXXLIB_VERSION_STRING "1.0.0"

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
/* Count an initialisation; the first sets up the event machinery. Returns 1. */
XAPI int32_t XInitXlib(void);
/* Count a termination; the last (large event mode) tears the machinery down. Returns 1. */
XAPI int32_t XTermXlib(void);
/* XInitXlib's work: 1 when counted, 0 when the initialisation lock cannot be made or taken. */
XAPI int32_t X_init_xlib(void);
/* XTermXlib's work: 1, or 0 when the initialisation lock cannot be taken. */
XAPI int32_t X_term_xlib(void);

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
/* Trace classes of XTrace. */
#define X_TRACE_HIGH 4
#define X_TRACE_MEDIUM 2
#define X_TRACE_LOW 1

/* A debug record tracing to the file name (or "XP_TRACE_DEFAULT": the debug console), levels from "XTORASYS"; NULL on failure. */
XAPI XHANDLE XInitDebug(const char *name, uint32_t tag);
/* Unlock and close the trace file (deleting it when empty) and free the record; 1 or 0. */
XAPI int32_t XTermDebug(XHANDLE record);
/* Read the levels and bindings again; on failure the record stays as it was; 1 or 0. */
XAPI int32_t XRefreshDebug(XHANDLE record);
/* Set the trace mask (0, 4, 6, 7; -1 for "XP_TRACE_ALL") of a binding or of all; 1 or 0. */
XAPI int32_t XSetTraceLevel(XHANDLE record, const char *name, int32_t mask);
/* Set the dump mask (0, 1; -1 for "XP_DUMP_ALL") of a binding or of all; 1 or 0. */
XAPI int32_t XSetDumpLevel(XHANDLE record, const char *name, int32_t mask);
/* The trace level (0-4) of a binding, or the global one for "XTORASYS"; 1 or 0. */
XAPI int32_t XGetTraceLevel(XHANDLE record, const char *name, uint32_t *level);
/* The dump level (0-2) of a binding, or the global one for "XTORASYS"; 1 or 0. */
XAPI int32_t XGetDumpLevel(XHANDLE record, const char *name, uint32_t *level);
/* Write a trace line of class cls (X_TRACE_*) for binding name when the levels let it through; 1 or 0. */
XAPI int32_t XTrace(XHANDLE record, const char *name, int32_t cls, const char *format, ...);
/* XTrace with class X_TRACE_HIGH. */
XAPI int32_t XTraceH(XHANDLE record, const char *name, const char *format, ...);
/* XTrace with class X_TRACE_MEDIUM. */
XAPI int32_t XTraceM(XHANDLE record, const char *name, const char *format, ...);
/* XTrace with class X_TRACE_LOW. */
XAPI int32_t XTraceL(XHANDLE record, const char *name, const char *format, ...);
/* Write a ready line (1-255 characters, two spare bytes after it) to the record's destination; 1 or 0, or the console's result. */
XAPI int32_t X_trace_out(XHANDLE record, char *line);
/* Hand line to the debug console (XPutDebugConsole); its result (length is unused). */
XAPI int32_t X_trace_out_to_default(XHANDLE record, const char *line, int32_t length);
/* Dump size bytes at address, after an optional title line, when the levels let it through; 1 or 0. */
XAPI int32_t XDump(XHANDLE record, const char *name, const char *title, const void *address,
                   int32_t size);
/* Write the address line and the image lines of a block; 1 or 0. */
XAPI int32_t X_dump_out(XHANDLE record, const void *address, int32_t size);
/* Build the image line at *offset of the block into line (128 bytes or more) and advance *offset; 1 or 0. */
XAPI int32_t X_make_dump_image(const void *address, int32_t size, int32_t *offset, char *line);

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

/* ------------------------------------------------------------------------ */
/* xcons: console and log output                                            */
/* ------------------------------------------------------------------------ */
/* Format like printf and write the message (at most 124 characters) and a line feed to standard output; 1 or 0. */
XAPI int32_t XPrintf(const char *format, ...);
/* As XPrintf; a, b and c are host console routing values, unused here. */
XAPI int32_t XWto(const char *format, int32_t a, int32_t b, int32_t c, ...);
/* Write title (34 characters at most, may be NULL) and count (0-9) lines of 70 at most to standard output; 1 or 0. */
XAPI int32_t XWtoMulti(const char *title, const char *const *lines, uint32_t count);
/* As XPrintf (the log is standard output here), with its own error kinds. */
XAPI int32_t XPrintfToLog(const char *format, ...);
/* Format a line (124 characters at most) to target: 1 standard output, -1 standard error, else a file handle; 1 or 0. */
XAPI int32_t XFprintf(int32_t target, const char *format, ...);
/* Take back an operator message: nothing to do here; returns 1. */
XAPI int32_t XDeleteMsg(uint32_t message);

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
/* Create (or open, for a shared key) the event of key (0xFFFFFFFF: private); 1 or 0. */
XAPI int32_t XCreateEvent(XHANDLE *handle_out, uint32_t key);
/* Give an event handle back; 1 or 0. */
XAPI int32_t XDestroyEvent(XHANDLE event);
/* Signal the event (reserved has no effect); 1 or 0. */
XAPI int32_t XPostEvent(XHANDLE event, uint32_t reserved);
/* Wait for any of count events: position taken, -2 time ran out, -1 failure. */
XAPI int32_t XWaitEvent(XHANDLE *events, int32_t count, uint32_t timeout);
/* Suspend the calling thread for milliseconds (not 0); 1 or 0. */
XAPI int32_t XSleep(uint32_t milliseconds);
/* Post the event of the same key in process (small mode: XPostEvent); 1 or 0. */
XAPI int32_t XGlobalPostEvent(XHANDLE event, uint32_t reserved, uint32_t process);
/* Post event once after delay ms (1 to 86400000); the timer handle, or NULL. */
XAPI XHANDLE XSetTimer(XHANDLE event, uint32_t delay);
/* Stop a timer that the calling thread set and that has not expired; 1 or 0. */
XAPI int32_t XKillTimer(XHANDLE timer);

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
/* List operations' lock time-outs are signed milliseconds: -1 waits without
 * limit, 0 only tries. Positions: 1 to count, 0 the first, -1 the last. */

/* A local list bounded to capacity bytes (each element counts its size + 12;
 * 0: no limit); key is not used; tag goes with every allocation. The handle, or NULL. */
XAPI XHANDLE XCreateList(uint32_t capacity, int32_t key, uint32_t tag);
/* Free a local list with all its elements; 1 or 0. */
XAPI int32_t XDestroyList(XHANDLE list);
/* Copy size bytes of data in as the element at position (count + 1 or -1: append); 1 or 0. */
XAPI int32_t XAddList(XHANDLE list, const void *data, uint32_t size, int32_t position);
/* XAddList waiting at most timeout ms for the list: 1, -1 failure, -2 time-out. */
XAPI int32_t XAddListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                       int32_t timeout);
/* Remove the element at position, copying it to buffer (may be NULL); 1 or 0. */
XAPI int32_t XRemoveList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/* XRemoveList with a lock time-out: 1, -1 failure, -2 time-out. */
XAPI int32_t XRemoveListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                          int32_t timeout);
/* Copy at most size bytes of the element at position; its data size, or 0. */
XAPI int32_t XPeekList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/* XPeekList with a lock time-out: the data size, -1 failure, -2 time-out. */
XAPI int32_t XPeekListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                        int32_t timeout);
/* The number of elements, or 0 on failure. */
XAPI int32_t XGetListNum(XHANDLE list);
/* The number of elements, -1 failure, -2 time-out. */
XAPI int32_t XGetListNumT(XHANDLE list, int32_t timeout);

/* Create the machine-wide list of key with capacity bytes and tag, or attach to it; the handle, or NULL. */
XAPI XHANDLE XCreateGlobalList(uint32_t capacity, uint32_t key, uint32_t tag);
/* Leave a global list (the last process to leave frees it); 1 or 0. */
XAPI int32_t XDestroyGlobalList(XHANDLE list);
/* XAddList on a global list; 1 or 0. */
XAPI int32_t XAddGlobalList(XHANDLE list, const void *data, uint32_t size, int32_t position);
/* XAddListT on a global list: 1, -1 or -2. */
XAPI int32_t XAddGlobalListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                             int32_t timeout);
/* XRemoveList on a global list; 1 or 0. */
XAPI int32_t XRemoveGlobalList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/* XRemoveListT on a global list: 1, -1 or -2. */
XAPI int32_t XRemoveGlobalListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                                int32_t timeout);
/* XPeekList on a global list: the data size, or 0. */
XAPI int32_t XPeekGlobalList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/* XPeekListT on a global list: the data size, -1 or -2. */
XAPI int32_t XPeekGlobalListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                              int32_t timeout);
/* The number of elements of a global list, or -1 on failure. */
XAPI int32_t XGetGlobalListNum(XHANDLE list);
/* The number of elements of a global list, -1 failure, -2 time-out. */
XAPI int32_t XGetGlobalListNumT(XHANDLE list, int32_t timeout);
/* XSaveList on a global list; 1 or 0. */
XAPI int32_t XSaveGlobalList(XHANDLE list, const char *name);
/* XSaveListT on a global list: 1, -1 or -2. */
XAPI int32_t XSaveGlobalListT(XHANDLE list, const char *name, int32_t timeout);
/* XLoadList on a global list; 1 or 0. */
XAPI int32_t XLoadGlobalList(XHANDLE list, const char *name);
/* XLoadListT on a global list: 1, -1 or -2. */
XAPI int32_t XLoadGlobalListT(XHANDLE list, const char *name, int32_t timeout);

/* Write every element of the list, in order, to the file name; 1 or 0. */
XAPI int32_t XSaveList(XHANDLE list, const char *name);
/* XSaveList with a lock time-out: 1, -1 failure, -2 time-out. */
XAPI int32_t XSaveListT(XHANDLE list, const char *name, int32_t timeout);
/* Replace the list's elements by those of a saved file (all or nothing); 1 or 0. */
XAPI int32_t XLoadList(XHANDLE list, const char *name);
/* XLoadList with a lock time-out: 1, -1 failure, -2 time-out. */
XAPI int32_t XLoadListT(XHANDLE list, const char *name, int32_t timeout);

/* For the library's partners: the list's lock object for key (-1: private); 1 or 0. */
XAPI int32_t X_create_list_lock(XHANDLE list, int32_t key);
/* Destroy the list's lock object; 1 or 0. */
XAPI int32_t X_destroy_list_lock(XHANDLE list);
/* Hold the list lock (nestable by its holder) to make several operations one; 1 or 0. */
XAPI int32_t X_lock_list(XHANDLE list);
/* Give one hold of the list lock back; 1 or 0. */
XAPI int32_t X_unlock_list(XHANDLE list);
/* Storage for an element of size data bytes in the list region; NULL on failure. */
XAPI void *X_alloc_list(void *region, uint32_t size, uint32_t flags);
/* Give an element's storage back to the list region; 1 or 0. */
XAPI int32_t X_free_list(void *region, void *element);

/* ------------------------------------------------------------------------ */
/* xfile, xfile64: files, line input and output, memory-mapped files        */
/* ------------------------------------------------------------------------ */
/* Open flag word of XOpenFile: exactly one access bit, at most one lock bit,
 * at most one disposition bit; truncate is refused with read-only access. */
#define X_OPEN_READ 0x1u           /* read only */
#define X_OPEN_WRITE 0x2u          /* read and write */
#define X_OPEN_READWRITE 0x4u      /* read and write */
#define X_OPEN_LOCK 0x100u         /* lock the whole file, waiting */
#define X_OPEN_LOCK_NOWAIT 0x200u  /* lock the whole file, fail at once when held */
#define X_OPEN_CREATE 0x10000u     /* create a new file; fail if it exists */
#define X_OPEN_TRUNCATE 0x20000u   /* cut an existing file to 0; fail if missing */
/* Lock modes of XLockFile. */
#define X_LOCK_WAIT 0x100
#define X_LOCK_NOWAIT 0x200
/* Seek origins of XSeekFile and XSeekFile64. */
#define X_SEEK_SET 1
#define X_SEEK_CUR 2
#define X_SEEK_END 4
/* Mapped-file access and sharing. */
#define X_MAP_READ 1
#define X_MAP_READWRITE 4
#define X_MAP_SHARED 1
#define X_MAP_EXCLUSIVE 2
/* Byte orders of XReadFileLn_UTF16. */
#define X_UTF16_BIG 1
#define X_UTF16_LITTLE 2

/* Open name with the flag word (reserved is unused); the file handle, or 0. */
XAPI XFILE XOpenFile(const char *name, int32_t reserved, uint32_t flags);
/* Close the handle; 1 or 0. */
XAPI int32_t XCloseFile(XFILE handle);
/* Delete the named file; 1 or 0. */
XAPI int32_t XDeleteFile(const char *name);
/* 1 when the name (a glob pattern) matches anything, else 0 (reason 4: absent). */
XAPI int32_t XExistFile(const char *name);
/* Write the file's buffers to the device; 1 or 0. */
XAPI int32_t XFlushFile(XFILE handle);
/* Lock the whole file (X_LOCK_WAIT or X_LOCK_NOWAIT); 1 or 0. */
XAPI int32_t XLockFile(XFILE handle, int32_t mode);
/* Release the whole-file lock; 1 or 0. */
XAPI int32_t XUnlockFile(XFILE handle);
/* One read of up to count bytes: the count read (0 at the end, reason 1 when short), or -1. */
XAPI int32_t XReadFile(XFILE handle, void *buffer, uint32_t count);
/* Write count bytes; the count written, or -1. */
XAPI int32_t XWriteFile(XFILE handle, const void *buffer, uint32_t count);
/* Move by offset from origin, never past the end; the new position, or -1. */
XAPI int32_t XSeekFile(XFILE handle, int32_t offset, int32_t origin);
/* Does nothing; returns 1. */
XAPI int32_t XGetFileInfo(int32_t a, int32_t b);
/* 64-bit entry points: the same as their namesakes. */
XAPI XFILE XOpenFile64(const char *name, int32_t reserved, uint32_t flags);
/* As XCloseFile. */
XAPI int32_t XCloseFile64(XFILE handle);
/* As XDeleteFile. */
XAPI int32_t XDeleteFile64(const char *name);
/* As XExistFile. */
XAPI int32_t XExistFile64(const char *name);
/* As XFlushFile. */
XAPI int32_t XFlushFile64(XFILE handle);
/* As XLockFile. */
XAPI int32_t XLockFile64(XFILE handle, int32_t mode);
/* As XUnlockFile. */
XAPI int32_t XUnlockFile64(XFILE handle);
/* As XReadFile. */
XAPI int32_t XReadFile64(XFILE handle, void *buffer, uint32_t count);
/* As XWriteFile. */
XAPI int32_t XWriteFile64(XFILE handle, const void *buffer, uint32_t count);
/* As XGetFileInfo. */
XAPI int32_t XGetFileInfo64(int32_t a, int32_t b);
/* Move by the 64-bit offset *high:*low from origin; the new position back through both; 1 or 0. */
XAPI int32_t XSeekFile64(XFILE handle, int32_t *high, uint32_t *low, int32_t origin);

/* Read the next line (ended by LF or FF) into buffer: its length with the end, the count read, 0 at the end, or -1. */
XAPI int32_t XReadFileLn(XFILE handle, void *buffer, int32_t size);
/* As XReadFileLn. */
XAPI int32_t XReadFileLn64(XFILE handle, void *buffer, int32_t size);
/* As XReadFileLn for UTF-16 text in byteorder X_UTF16_BIG or X_UTF16_LITTLE. */
XAPI int32_t XReadFileLn_UTF16(XFILE handle, void *buffer, int32_t size, int16_t byteorder);
/* Write count bytes as they are (no line end added); the count written, or -1. */
XAPI int32_t XWriteFileLn(XFILE handle, const void *buffer, int32_t count);
/* Size of a disk file (lower 32 bits); -1 on failure, -2 for pipes, terminals and devices. */
XAPI int32_t XGetFileSize(XFILE handle);
/* Size of a disk file through *high and *low; 0, -1 on failure, -2 for pipes, terminals and devices. */
XAPI int32_t XGetFileSize64(XFILE handle, uint32_t *high, uint32_t *low);

/* Map an existing file whole (access X_MAP_*, sharing X_MAP_SHARED or X_MAP_EXCLUSIVE);
 * the view's address (handle receives the mapped-file handle), or NULL. */
XAPI void *XOpenMemMapFile(XHANDLE *handle, const char *name, int32_t access, int32_t sharing);
/* Write the view's changed pages to the file; 1 or 0. */
XAPI int32_t XFlushMemMapFile(XHANDLE handle);
/* Flush, release the exclusivity, unmap, close and free the handle; 1 or 0. */
XAPI int32_t XCloseMemMapFile(XHANDLE handle);

/* ------------------------------------------------------------------------ */
/* xparm: parameter files                                                   */
/* ------------------------------------------------------------------------ */
/* Open directory/name (directory may be NULL) and read it whole; the handle, or X_FAILED_PTR. */
XAPI XHANDLE XOpenParmFile(const char *directory, const char *name);
/* As XOpenParmFile for reading and writing, creating a missing file; the handle, or X_FAILED_PTR. */
XAPI XHANDLE XOpenParmFileRW(const char *directory, const char *name);
/* Rewrite a changed read-write file, close it and free the handle; 1 or 0. */
XAPI int32_t XCloseParmFile(XHANDLE handle);
/* Copy at most size bytes of the value of section/key (no terminator); its full length, or 0. */
XAPI int32_t XReadParmStr(XHANDLE handle, const char *section, const char *key, char *buffer,
                          int32_t size);
/* Read the value of section/key as a decimal integer into *result; 1 or 0. */
XAPI int32_t XReadParmInt(XHANDLE handle, const char *section, const char *key, int32_t *result);
/* Set section/key to the first length characters of value (written at close); 1 or 0. */
XAPI int32_t XWriteParmStr(XHANDLE handle, const char *section, const char *key, const char *value,
                           int32_t length);
/* Set section/key to number in decimal; 1 or 0. */
XAPI int32_t XWriteParmInt(XHANDLE handle, const char *section, const char *key, int32_t number);
/* Key and value of the entry at index of section; 0, -1 key cut, -2 value cut, -3 both, -4 no such entry, -5 error. */
XAPI int32_t XListParmEntry(XHANDLE handle, int32_t index, const char *section, char *key,
                            int32_t *key_size, char *value, int32_t *value_size);

/* ------------------------------------------------------------------------ */
/* xreg: registry                                                           */
/* ------------------------------------------------------------------------ */
/* The two hives that the registry functions accept.  These and the REG_* value
 * types keep the registry's own names, which other headers may define too: a
 * definition made before this header is included is kept. */
#ifndef HKEY_CURRENT_USER
#define HKEY_CURRENT_USER 0x80000001u
#endif
#ifndef HKEY_LOCAL_MACHINE
#define HKEY_LOCAL_MACHINE 0x80000002u
#endif
/* Access modes of XOpenRegistry. */
#define X_REG_READ 1  /* the key must exist */
#define X_REG_WRITE 2 /* created when missing */
#define X_REG_ALL 4   /* read and write; created when missing */
/* Value types: stored (REG_*) and as XListRegValue reports them (X_REGTYPE_*). */
#ifndef REG_SZ
#define REG_SZ 1u
#endif
#ifndef REG_DWORD
#define REG_DWORD 4u
#endif
#define X_REGTYPE_STRING 1
#define X_REGTYPE_OTHER 3
#define X_REGTYPE_INT 4

/* Open "SOFTWARE\ZAX\product[\subkey]" of hive with access 1, 2 or 4; the key or X_FAILED_PTR. */
XAPI XHANDLE XOpenRegistry(uint32_t hive, const char *product, const char *subkey, int32_t access);
/* Close a key from XOpenRegistry; 1 or 0. */
XAPI int32_t XCloseRegistry(XHANDLE key);
/* Read the 32-bit integer value name into *result; 1 or 0. */
XAPI int32_t XReadRegInt(XHANDLE key, const char *name, int32_t *result);
/* Copy at most size (0-260) bytes of the string value name; its length, or 0. */
XAPI int32_t XReadRegStr(XHANDLE key, const char *name, char *buffer, int32_t size);
/* Store number as the 32-bit integer value name; 1 or 0. */
XAPI int32_t XWriteRegInt(XHANDLE key, const char *name, int32_t number);
/* Store up to length bytes of text (below 260) as the string value name; the count, or 0. */
XAPI int32_t XWriteRegStr(XHANDLE key, const char *name, const char *text, int32_t length);
/* Sub-key name at index: its length; -2 cut, -1 at the end, -3 on error. */
XAPI int32_t XListRegKey(XHANDLE key, int32_t index, char *buffer, int32_t size);
/* Value at index (type, name, data): 0; -2 name cut, -3 data cut, -1 at the end, -4 on error. */
XAPI int32_t XListRegValue(XHANDLE key, int32_t index, int32_t *type, char *name,
                           int32_t *namelen, void *data, int32_t *datalen);
/* Delete the key named as for XOpenRegistry with every key below it; 1 or 0. */
XAPI int32_t XDeleteRegKey(uint32_t hive, const char *product, const char *subkey);
/* Delete the value name of key; 1 or 0. */
XAPI int32_t XDeleteRegValue(XHANDLE key, const char *name);
/* Open for reading, XReadRegInt, close; 1 or 0. */
XAPI int32_t XReadRegIntEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, int32_t *result);
/* Open for reading, XReadRegStr, close; the length, or 0. */
XAPI int32_t XReadRegStrEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, char *buffer, int32_t size);
/* Open with all access (creating), XWriteRegInt, close; 1 or 0. */
XAPI int32_t XWriteRegIntEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, int32_t number);
/* Open with all access (creating), XWriteRegStr, close; the count, or 0. */
XAPI int32_t XWriteRegStrEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, const char *text, int32_t length);
/* Open with all access (creating), XDeleteRegValue, close; 1 or 0. */
XAPI int32_t XDeleteRegValueEx(uint32_t hive, const char *product, const char *subkey,
                               const char *name);

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
/* Platform codes of the system description file (also X_PLATFORM_UNIX, X_PLATFORM_WINDOWS). */
#define X_PLATFORM_MAINFRAME 100
#define X_PLATFORM_AS400 400
/* Byte orders. */
#define X_BYTEORDER_BIG 1
#define X_BYTEORDER_LITTLE 2

/* The system-information record (444 bytes). */
typedef struct XSystemInfo {
    uint32_t platform;      /* platform code */
    uint32_t os_name;       /* operating-system code */
    uint32_t os_major;      /* OS major version */
    uint32_t os_minor;      /* OS minor version */
    uint32_t os_level;      /* build or level number */
    uint32_t reserved1;     /* always 0 */
    uint32_t cpu_name;      /* processor type number */
    uint32_t cpu_count;     /* number of processors */
    uint16_t sbcs;          /* single-byte code table value */
    uint16_t mbcs;          /* multi-byte code table value */
    uint16_t word_size;     /* bits in a machine word */
    uint16_t byte_order;    /* X_BYTEORDER_* */
    uint32_t x_resolution;  /* screen width in pixels */
    uint32_t y_resolution;  /* screen height in pixels */
    uint32_t colors;        /* number of colours minus 1 */
    char machine[34];       /* machine name */
    char location[10];      /* location name */
    char user_id[34];       /* user id */
    char jes[6];            /* JES name */
    char job[258];          /* job name */
    char step[10];          /* step name */
    char reserved2[40];     /* always 0 */
} XSystemInfo;

/* Read the system description file "XSYSTEM" into record (fields it lacks stay); 1 or 0. */
XAPI int32_t XGetSystemInfoFile(XSystemInfo *record);

/* ------------------------------------------------------------------------ */
/* xsysfc: system and process information, unique keys                      */
/* ------------------------------------------------------------------------ */
/* Fill record (cleared first) from the operating system; 1, or 0 when a query failed. */
XAPI int32_t XGetSystemInfoFunc(XSystemInfo *record);
/* XGetSystemInfoFunc, then the system description file over it when one exists; 1 or 0. */
XAPI int32_t XGetSystemInfo(XSystemInfo *record);
/* Write an 8-byte key (packed date, packed time) greater than the last one of this process; 1 or 0. */
XAPI int32_t XGetUniqueKey(void *key);

/* ------------------------------------------------------------------------ */
/* xtask: processes, job processes and threads                              */
/* ------------------------------------------------------------------------ */
/* The entry "osmain" of a thread module: two arguments, the thread's exit code. */
typedef uint32_t (*XThreadMain)(uint32_t arg1, uint32_t arg2);

/* Start program (1-255 characters) with argc arguments, without a shell; *record_out receives the record; 1 or 0. */
XAPI int32_t XCreateProcess(XHANDLE *record_out, const char *program, XHANDLE *event_var,
                            int32_t argc, const char *const *argv);
/* Collect a process that has ended and free its record; 1 or 0 (reason 4: still running). */
XAPI int32_t XTermProcess(XHANDLE record, uint32_t reserved);
/* End the process if it still runs, collect it and free its record; 1 or 0. */
XAPI int32_t XKillProcess(XHANDLE record);
/* Run "osmain"(arg1, arg2) of module on a new thread; *record_out receives the record; 1 or 0. */
XAPI int32_t XCreateThread(XHANDLE *record_out, const char *module, XHANDLE *event_var,
                           uint32_t arg1, uint32_t arg2);
/* Collect a thread that has ended, unload its module and free its record; 1 or 0. */
XAPI int32_t XTermThread(XHANDLE record);
/* End the thread if it still runs, unload its module and free its record; 1 or 0. */
XAPI int32_t XKillThread(XHANDLE record);
/* As XKillThread, waiting (up to about 180 s) for the thread to have ended; 1 or 0. */
XAPI int32_t XKillThreadSync(XHANDLE record);
/* As XCreateProcess, the process leading a job (its own process group); 1 or 0. */
XAPI int32_t XCreateJobProcess(XHANDLE *record_out, const char *program, uint32_t reserved,
                               XHANDLE *event_var, int32_t argc, const char *const *argv);
/* Collect a job process that has ended and free its record; 1 or 0 (reason 3: still running). */
XAPI int32_t XTermJobProcess(XHANDLE record, uint32_t reserved);
/* End every process of the job, collect the job process and free its record; 1 or 0. */
XAPI int32_t XKillJobProcess(XHANDLE record);

/* ------------------------------------------------------------------------ */
/* xload: modules and message strings                                       */
/* ------------------------------------------------------------------------ */
/* Load the code module name (1-255 characters) into *handle; 1 or 0. */
XAPI int32_t XLoadModule(XHANDLE *handle, const char *name);
/* Release a module from XLoadModule or XLoadMsgString; 1 or 0. */
XAPI int32_t XUnloadModule(XHANDLE module);
/* The address of the module's exported entry name, or NULL. */
XAPI void *XGetEntry(XHANDLE module, const char *name);
/* Open the message catalog name (1-255 characters); its handle, or NULL. */
XAPI XHANDLE XLoadMsgString(const char *name);
/* Release a message catalog (as XUnloadModule); 1 or 0. */
XAPI int32_t XUnloadMsgString(XHANDLE module);
/* Format template number (message number of set 1) with the values that follow into buffer, unterminated (1-124 bytes); buffer, or NULL. */
XAPI char *XGetMsgString(XHANDLE module, int32_t number, char *buffer, ...);
/* As XGetMsgString; *first and *second are set to 0 first. */
XAPI char *XGetMsgStringEx(XHANDLE module, int32_t number, uint16_t *first, uint16_t *second,
                           char *buffer, ...);

#ifdef __cplusplus
}
#endif

#endif /* ZAXXLIB_H */

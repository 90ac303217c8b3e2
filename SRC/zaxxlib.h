/**
 * @file zaxxlib.h
 * @brief The public interface of zaxxlib, the system-services library of the
 * ZAX program family.
 *
 * Plain C (C99 and later, and C++). Every function is named `X...` and
 * reports a failure twice: through its result (its failure value, given with
 * each function) and through the calling thread's error record, which
 * XGetLastError() reads. Each function's documentation lists the error codes
 * it records. Records that cross a process, a file or a wire keep a fixed
 * layout.
 *
 * The functions are grouped by area (see the list of topics). The guide in
 * `docs/` of the source explains the concepts behind them: the error record,
 * handles, keys, the event modes, named objects and the initiator service.
 */
#ifndef ZAXXLIB_H
#define ZAXXLIB_H

#include <stddef.h>
#include <stdint.h>

/**
 * @defgroup version Version
 * @brief The version of the library that a program is compiled against.
 *
 * The shared library's SONAME carries the major number (`libzaxxlib.so.1`);
 * the minor number grows when functions, settings or tools are added, the
 * patch number with fixes only.
 * @{
 */
/** The major version: a program built for another major version must be rebuilt. */
#define ZAXXLIB_VERSION_MAJOR 1
/** The minor version. */
#define ZAXXLIB_VERSION_MINOR 0
/** The patch level. */
#define ZAXXLIB_VERSION_PATCH 0
/** The version as one number (major * 10000 + minor * 100 + patch), for `#if` tests. */
#define ZAXXLIB_VERSION_NUMBER \
    (ZAXXLIB_VERSION_MAJOR * 10000 + ZAXXLIB_VERSION_MINOR * 100 + ZAXXLIB_VERSION_PATCH)
/** The version as text. */
#define ZAXXLIB_VERSION_STRING "1.0.0"
/** @} */

/** @cond INTERNAL */
#if defined(ZAXXLIB_BUILDING)
#define XAPI __attribute__((visibility("default")))
#else
#define XAPI
#endif
/** @endcond */

#ifdef __cplusplus
extern "C" {
#endif

/**
 * @defgroup common Common types and values
 * @brief Handles, file handles and the values that many functions share.
 * @{
 */

/** A handle that the library gives out: a lock object, event, timer, list,
 * segment, parameter file, registry key, debug record, mapped file, process,
 * thread or module. It belongs to the caller until the call that gives it
 * back. */
typedef void *XHANDLE;

/** A file handle: a descriptor, never below 3; 0 means "no file". */
typedef int32_t XFILE;

/** The failure value of the functions that return a pointer or handle for
 * which `NULL` could be valid: XAllocMemory(), XAllocShrMemory(),
 * XOpenShrMemory(), XOpenParmFile(), XOpenParmFileRW(), XOpenRegistry(). */
#define X_FAILED_PTR ((void *)-1)

/** A time-out that waits without limit. */
#define X_INFINITE 0xFFFFFFFFu

/** Kind of a recorded error: no error. */
#define X_KIND_NONE 0u
/** Kind of a recorded error: a system call failed; the detail is its `errno`
 * (for the registry, the store's own number). */
#define X_KIND_SYSTEM 1u
/** Kind of a recorded error: the library refused the call; the detail is the
 * 1-based position of the refused argument, 0, or a value that the reason
 * names. */
#define X_KIND_LIBRARY 2u

/** @} */

/**
 * @defgroup errors Error record
 * @brief The calling thread's record of its last failure.
 *
 * Every failure leaves an error code, a detail and a kind in the calling
 * thread's record. The code is the function code of the function that
 * recorded it in the high 16 bits and a reason number in the low 16 bits:
 * `0x780006` is reason 6 of function code `0x78` (XOpenFile(), recorded by
 * XOpenParmFile() when the file cannot be opened). The kind says how to read
 * the detail (#X_KIND_SYSTEM: an `errno`; #X_KIND_LIBRARY: the library's own
 * number). A successful call does not, as a rule, clear the record.
 * `zaxxlib_codes.h` names every code.
 * @{
 */

/** The caller's copy of the error record, filled by XGetLastError(). */
typedef struct XErrorInfo {
    uint32_t code;   /**< function code << 16 | reason; 0 for no error */
    uint32_t detail; /**< argument position, `errno` or a value, as the kind says */
    uint32_t kind;   /**< #X_KIND_NONE, #X_KIND_SYSTEM or #X_KIND_LIBRARY */
    char text[16];   /**< the detail as eight upper-case hexadecimal digits, zero-filled */
} XErrorInfo;

/**
 * Stores a code, a detail and a kind in the calling thread's error record.
 *
 * The text of the record becomes the detail written as `"%08X"`.
 * `XSetLastError(0, 0, 0)` resets the record to "no error", for instance to
 * tell afterwards whether a call that may return 0 as a value failed.
 *
 * @param code    the error code (function code << 16 | reason), 0 for none
 * @param detail  the detail
 * @param kind    #X_KIND_NONE, #X_KIND_SYSTEM or #X_KIND_LIBRARY
 * @return 1; 0 when the thread has no record and none can be made (no memory).
 */
XAPI int32_t XSetLastError(uint32_t code, uint32_t detail, uint32_t kind);
/**
 * Reads the calling thread's last error.
 *
 * Reading does not clear the record: the same error is returned until the
 * thread records another one.
 *
 * @param info  receives code, detail, kind and text; may be `NULL`
 * @return the last error code, 0 when the thread has recorded none.
 */
XAPI uint32_t XGetLastError(XErrorInfo *info);

/** @} */

/**
 * @defgroup memory Memory, buffers, strings and arithmetic
 * @brief Heap blocks, byte buffers, terminated strings and two pieces of
 * integer arithmetic.
 *
 * Lengths are signed 32-bit counts. XClearBuf(), XCopyBuf(), XMoveBuf(),
 * XCompBuf() and XConcatStr() check nothing and record nothing.
 * @{
 */

/**
 * Allocates a zero-filled block from the heap.
 *
 * @param size   the block's size in bytes, 1 or more
 * @param flags  not used (by custom the memory tag of the object the block is for)
 * @return the block, or #X_FAILED_PTR (not `NULL`) on failure.
 */
XAPI void *XAllocMemory(int32_t size, uint32_t flags);
/**
 * Gives a block from XAllocMemory() back.
 *
 * A pointer that is not a live block (a foreign pointer, a block freed
 * twice) is refused, not freed.
 *
 * @param block  the block
 * @return 1, or 0 on failure.
 */
XAPI int32_t XFreeMemory(void *block);
/**
 * Fills a buffer with one byte value.
 *
 * @param buffer  the buffer
 * @param byte    the value
 * @param length  the number of bytes; below 1 does nothing
 * @return buffer.
 */
XAPI void *XClearBuf(void *buffer, uint8_t byte, int32_t length);
/**
 * Copies bytes between areas that do not overlap.
 *
 * @param destination  where to copy to
 * @param source       where to copy from
 * @param length       the number of bytes; below 1 does nothing
 * @return destination.
 */
XAPI void *XCopyBuf(void *destination, const void *source, int32_t length);
/**
 * Copies bytes between areas that may overlap.
 *
 * @param destination  where to copy to
 * @param source       where to copy from
 * @param length       the number of bytes; below 1 does nothing
 * @return destination.
 */
XAPI void *XMoveBuf(void *destination, const void *source, int32_t length);
/**
 * Compares two byte areas as unsigned values.
 *
 * @param first   the first area
 * @param second  the second area
 * @param length  the number of bytes to compare; below 1 gives 0
 * @return -1 when first is smaller, 0 when they are equal, 1 when first is greater.
 */
XAPI int32_t XCompBuf(const void *first, const void *second, int32_t length);
/**
 * Finds the first occurrence of a byte value.
 *
 * The usual use: the length of a zero-terminated text in a buffer of known
 * size (byte 0).
 *
 * @param buffer  the bytes to search
 * @param byte    the value to find
 * @param limit   how many bytes to search, 1 or more
 * @return its position from 0, or -1 when it is not among the first limit
 *         bytes (reason 2) or on failure.
 */
XAPI int32_t XGetBufLen(const void *buffer, uint8_t byte, int32_t limit);
/**
 * Counts the bytes of a text before its terminator or a zero byte.
 *
 * With a limit of -1 the text is unbounded (and a terminator above 0x7F is
 * never found: the count ends at the zero byte). With a limit of 1 or more,
 * the result is limit when neither byte occurs within it.
 *
 * @param text        the text
 * @param terminator  the byte that ends the text besides the zero byte
 * @param limit       -1, or the most bytes to look at (1 or more)
 * @return the count, or -1 on failure.
 */
XAPI int32_t XGetStrLen(const char *text, uint8_t terminator, int32_t limit);
/**
 * Appends one zero-terminated text to another.
 *
 * @param destination  the text to append to; it must have room for both
 * @param source       the text to append
 * @return destination.
 */
XAPI char *XConcatStr(char *destination, const char *source);
/**
 * Compares two terminated texts.
 *
 * Each text ends at its first zero byte or, when the terminator is not 0, at
 * its first terminator byte, as XGetStrLen() counts it.
 *
 * @param first       the first text
 * @param second      the second text
 * @param terminator  the byte that ends the texts besides the zero byte
 * @param limit       -1, or the most bytes of each text to look at
 * @return -2 when the lengths differ (also when a length cannot be had),
 *         else -1, 0 or 1 as XCompBuf() compares them.
 */
XAPI int32_t XCompStr(const char *first, const char *second, uint8_t terminator, int32_t limit);
/**
 * Tests that every byte of a text belongs to a set.
 *
 * A zero byte in the text always counts as belonging.
 *
 * @param text     the bytes to test
 * @param length   how many bytes, 1 or more
 * @param allowed  the zero-terminated set of allowed bytes
 * @return 1 when all belong; 0 when one does not (reason 2) or on failure.
 */
XAPI int32_t XTestMask(const char *text, uint32_t length, const char *allowed);
/**
 * The greatest common divisor of several values.
 *
 * Zeros are ignored; all zeros give 0 without an error; one value gives
 * that value.
 *
 * @param values  the values
 * @param count   how many, 1 or more
 * @return the divisor, or 0 on failure.
 */
XAPI uint32_t XCalcGCD(const uint32_t *values, int32_t count);
/**
 * The greatest prime number not above a limit.
 *
 * @param limit  2 or more
 * @return the prime, or 0 on failure.
 */
XAPI uint32_t XCalcPrimeNum(uint32_t limit);

/** @} */

/**
 * @defgroup environment Environment settings
 * @brief Settings in the process environment, named by group, name and item.
 *
 * The variable of group `APP`, name `LOG` and item `LEVEL` is `APP_LOG_LEVEL`;
 * a group alone or a group and a name are allowed too, any other combination
 * is refused. The whole name has at most 64 characters, a value at most 256.
 * Writes change the environment of the calling process and of the processes
 * it starts afterwards. The library reads its own settings (`ZAXXLIB_...`)
 * this way too.
 * @{
 */

/**
 * Reads a variable's value.
 *
 * @param group   the first part of the name
 * @param name    the second part, or `NULL`
 * @param item    the third part, or `NULL` (only with a name)
 * @param buffer  receives at most size bytes of the value, not zero-terminated
 * @param size    the buffer's size, 0 or more
 * @return the full length of the value (which may be more than size), or 0
 *         when the variable is missing, empty or too long, or on failure.
 */
XAPI int32_t XReadEnvStr(const char *group, const char *name, const char *item,
                         char *buffer, int32_t size);
/**
 * Reads a variable as a signed decimal number.
 *
 * The value must be an optional `-` and digits, nothing else.
 *
 * @param group   the first part of the name
 * @param name    the second part, or `NULL`
 * @param item    the third part, or `NULL`
 * @param result  receives the number; set to 0 first
 * @return 1, or 0 on failure.
 */
XAPI int32_t XReadEnvInt(const char *group, const char *name, const char *item, int32_t *result);
/**
 * Sets a variable.
 *
 * @param group   the first part of the name
 * @param name    the second part, or `NULL`
 * @param item    the third part, or `NULL`
 * @param value   the new value; it ends at its first zero byte within length
 * @param length  how many bytes of value to take, 1 to 256
 * @return 1, or 0 on failure.
 */
XAPI int32_t XWriteEnvStr(const char *group, const char *name, const char *item,
                          const char *value, int32_t length);
/**
 * Sets a variable to a number written in decimal.
 *
 * @param group   the first part of the name
 * @param name    the second part, or `NULL`
 * @param item    the third part, or `NULL`
 * @param number  the number
 * @return 1, or 0 on failure (with the codes of XWriteEnvStr()).
 */
XAPI int32_t XWriteEnvInt(const char *group, const char *name, const char *item, int32_t number);

/** @} */

/**
 * @defgroup identity Identity and object keys
 * @brief The platform, the calling process and thread, and the keys that name
 * objects across processes.
 * @{
 */

/** Platform code of UNIX systems (Linux among them). */
#define X_PLATFORM_UNIX 200
/** Platform code of Windows. */
#define X_PLATFORM_WINDOWS 300
/** Operating-system code of Linux. */
#define X_OS_LINUX 270
/** Operating-system code of the Windows NT family. */
#define X_OS_WINNT 310
/** Operating-system code of Windows 95. */
#define X_OS_WIN95 320
/** Operating-system code of Windows 98. */
#define X_OS_WIN98 330

/** The operating system and its version, filled by XGetOsInfo(). */
typedef struct XOsInfo {
    uint32_t os_name; /**< an `X_OS_...` code: #X_OS_LINUX here */
    uint32_t major;   /**< the kernel release's first number */
    uint32_t minor;   /**< its second number */
    uint32_t build;   /**< its third number */
} XOsInfo;

/** The calling process, filled by XGetProcInfo(). */
typedef struct XProcInfo {
    uint32_t pid;      /**< the process identifier */
    uint32_t reserved; /**< set to 0 */
    uint32_t unused;   /**< not written */
    char pid_text[9];  /**< the identifier as eight upper-case hexadecimal digits, zero-terminated */
} XProcInfo;

/** The calling thread, filled by XGetThreadInfo(). */
typedef struct XThreadInfo {
    uint32_t tid;    /**< the kernel's thread identifier, as `ps -L` shows it */
    uint32_t unused; /**< not written */
    uint32_t tid2;   /**< the thread identifier again */
} XThreadInfo;

/**
 * The platform, the operating system and its version.
 *
 * @param info  receives the operating-system code and the kernel release's
 *              first three numbers; may be `NULL`
 * @return the platform code, #X_PLATFORM_UNIX.
 */
XAPI int32_t XGetOsInfo(XOsInfo *info);
/**
 * The calling process's identifier.
 *
 * @param record  receives the identifier as a number and as text
 * @return 1, or 0 for a null record.
 */
XAPI int32_t XGetProcInfo(XProcInfo *record);
/**
 * The calling thread's identifier.
 *
 * @param record  receives the identifier (twice)
 * @return 1, or 0 for a null record.
 */
XAPI int32_t XGetThreadInfo(XThreadInfo *record);
/**
 * Builds an object key from its parts.
 *
 * Bits 28-31 hold the kind, 20-27 the group, 12-19 the two digits of the
 * code as packed decimal, 0-11 the number: `XMakeKey(1, "42", 7, 1)` is
 * `0x10742001`. The library itself uses `XMakeKey(2, "00", 1, 3)`
 * (`0x20100003`) for the lock that serialises the creation of global lists.
 *
 * @param kind    1 to 4
 * @param code    a text whose first two characters are decimal digits
 * @param group   0 to 255
 * @param number  0 to 4095
 * @return the key, or 0 on failure.
 */
XAPI uint32_t XMakeKey(int32_t kind, const char *code, uint32_t group, uint32_t number);
/**
 * Whether the registry names this machine a server.
 *
 * Reads the string value `ProductType` of the machine-wide key
 * `SYSTEM\CurrentControlSet\Control\ProductOptions` and compares it with
 * `WinNT`. Linux has no such value, so the answer is 0 unless a program
 * stored one.
 *
 * @return 1 for a server, else 0.
 */
XAPI int32_t X_IsServer(void);

/** @} */

/**
 * @defgroup init Initialisation
 * @brief Setting up and tearing down the event machinery.
 *
 * A program calls XInitXlib() before it creates events and XTermXlib() at
 * the end, after every wait has ended. The first call reads the event-table
 * size from `ZAXXLIB_EVENT_NUMBER`: 64 or less (the default) is the small
 * event mode, more is the large mode with an event table, an event socket
 * for posts from other processes and its thread. It also switches on the
 * support of job processes. Calls are counted; in the small mode
 * termination does nothing.
 * @{
 */

/**
 * Counts an initialisation; the first sets the event machinery up.
 *
 * Calls X_init_xlib(): a failure of the large mode's set-up shows in the
 * error record only.
 *
 * @return 1.
 */
XAPI int32_t XInitXlib(void);
/**
 * Counts a termination; the last one of the large mode tears the event
 * machinery down.
 *
 * Calls X_term_xlib(). Afterwards the handles of the old event table must
 * not be used.
 *
 * @return 1.
 */
XAPI int32_t XTermXlib(void);
/**
 * The work of XInitXlib().
 *
 * A failed large-mode set-up (no memory for the table, no table lock, no
 * event socket or no thread for it) counts nothing and leaves the cause in
 * the error record; a later call tries again.
 *
 * @return 1 when the initialisation was counted; 0 when the initialisation
 *         lock cannot be made or taken, or the large mode cannot be set up.
 */
XAPI int32_t X_init_xlib(void);
/**
 * The work of XTermXlib().
 *
 * @return 1, or 0 when the initialisation lock cannot be taken.
 */
XAPI int32_t X_term_xlib(void);

/** @} */

/**
 * @defgroup vector Vector table
 * @brief Named pairs of values that every process of the run-time directory
 * shares, kept by the initiator service.
 *
 * An entry's name has at most 8 characters. Every call is one exchange with
 * the initiator service (`omikinit`); when it is not running a call fails
 * after trying for about ten seconds.
 * @{
 */

/**
 * Looks an entry up.
 *
 * A first value of 0 cannot be told from a failure by the result alone.
 *
 * @param name  the entry's name, at most 8 characters
 * @return the entry's first value, or 0 on failure (with the codes of
 *         XGetVectorTableEx()).
 */
XAPI uint32_t XGetVectorTable(const char *name);
/**
 * Looks an entry up and gives both its values.
 *
 * @param name    the entry's name, at most 8 characters
 * @param values  receives the first and the second value
 * @return the first value, or 0 on failure (reason 2: no such entry).
 */
XAPI uint32_t XGetVectorTableEx(const char *name, uint32_t values[2]);
/**
 * Registers an entry, or gives an existing one new values.
 *
 * @param name    the entry's name, at most 8 characters
 * @param first   the first value, not 0
 * @param second  the second value, not 0
 * @return 1, or 0 on failure.
 */
XAPI int32_t XSetVectorTable(const char *name, uint32_t first, uint32_t second);
/**
 * Removes an entry.
 *
 * @param name  the entry's name, at most 8 characters
 * @return 1, or 0 on failure (reason 2: the service refused, for instance no such entry).
 */
XAPI int32_t XResetVectorTable(const char *name);

/** @} */

/**
 * @defgroup trace Tracing and dumps
 * @brief Debug records, trace lines and storage dumps, filtered by the levels
 * of the library settings file.
 *
 * A debug record says where lines go (a trace file, or the debug console
 * when there is none) and which lines are wanted: a global trace level and
 * dump level, and a level of each for every *binding*, a named part of the
 * program. The levels come from the section `XTORASYS` of the library
 * settings file `XTORASYS` and its chain of binding sections. The set calls
 * take masks, the get calls give levels:
 *
 * | Trace level | Mask | Lines written |
 * |---|---|---|
 * | 0 | 0 | none |
 * | 1 | 4 | high |
 * | 2 | 6 | high and medium |
 * | 3 | 7 | high, medium and low |
 * | 4 | -1 | as each binding's own level says (global level only) |
 *
 * | Dump level | Mask | Dumps |
 * |---|---|---|
 * | 0 | 0 | none |
 * | 1 | 1 | all |
 * | 2 | -1 | as each binding's own level says (global level only) |
 *
 * The binding name `XP_ADMINISTRATOR` is always written. A trace line is the
 * local time (`HHMMSShh`), the binding's name cut or padded to 8 characters
 * and the message (at most 237 characters).
 *
 * A debug record carries no lock: the calls that change it (XRefreshDebug(),
 * XSetTraceLevel(), XSetDumpLevel()) must not run while another thread
 * traces through the same record.
 * @{
 */

/** Trace class of XTraceH(): written from trace level 1 up. */
#define X_TRACE_HIGH 4
/** Trace class of XTraceM(): written from trace level 2 up. */
#define X_TRACE_MEDIUM 2
/** Trace class of XTraceL(): written at trace level 3. */
#define X_TRACE_LOW 1

/**
 * Makes a debug record.
 *
 * Reads the levels and the chain of bindings from the library settings file
 * `XTORASYS` (in `$ZAXXLIB_XSYSTEM`, else the current directory); without the
 * file, its section `XTORASYS` or that section's `BINDINGS` the call fails.
 * A trace file is created, or emptied when it exists, and stays locked while
 * the record lives: a second record on the same file waits until the first
 * one ends.
 *
 * @param name  the trace file's path (1 to 255 characters), or
 *              `"XP_TRACE_DEFAULT"` for the debug console
 * @param tag   a memory tag, kept with the record
 * @return the debug record, or `NULL` on failure.
 */
XAPI XHANDLE XInitDebug(const char *name, uint32_t tag);
/**
 * Ends a debug record.
 *
 * Unlocks and closes the trace file, deleting it when nothing was written to
 * it, and frees the record. Every step is tried even when one fails.
 *
 * @param record  the debug record
 * @return 1 when every step succeeded, else 0.
 */
XAPI int32_t XTermDebug(XHANDLE record);
/**
 * Reads the levels and bindings of a debug record again from the settings file.
 *
 * The trace file stays. On failure the record keeps its old levels.
 *
 * @param record  the debug record
 * @return 1, or 0 on failure.
 */
XAPI int32_t XRefreshDebug(XHANDLE record);
/**
 * Sets the trace mask of one binding, or the global one.
 *
 * @param record  the debug record
 * @param name    a binding's name (1 to 16 characters), or `"XP_TRACE_ALL"`
 *                for the global mask
 * @param mask    0, 4, 6 or 7; -1 (each binding by its own mask) only with
 *                `"XP_TRACE_ALL"`
 * @return 1, or 0 on failure (reason 2: no binding of that name).
 */
XAPI int32_t XSetTraceLevel(XHANDLE record, const char *name, int32_t mask);
/**
 * Sets the dump mask of one binding, or the global one.
 *
 * @param record  the debug record
 * @param name    a binding's name (1 to 16 characters), or `"XP_DUMP_ALL"`
 *                for the global mask
 * @param mask    0 or 1; -1 (each binding by its own mask) only with `"XP_DUMP_ALL"`
 * @return 1, or 0 on failure (reason 2: no binding of that name).
 */
XAPI int32_t XSetDumpLevel(XHANDLE record, const char *name, int32_t mask);
/**
 * The trace level of one binding, or the global one.
 *
 * @param record  the debug record
 * @param name    a binding's name, or `"XTORASYS"` for the global level
 * @param level   receives the level, 0 to 4 (see the table above)
 * @return 1, or 0 on failure (reason 2: no binding of that name).
 */
XAPI int32_t XGetTraceLevel(XHANDLE record, const char *name, uint32_t *level);
/**
 * The dump level of one binding, or the global one.
 *
 * @param record  the debug record
 * @param name    a binding's name, or `"XTORASYS"` for the global level
 * @param level   receives the level, 0 to 2
 * @return 1, or 0 on failure (reason 2: no binding of that name).
 */
XAPI int32_t XGetDumpLevel(XHANDLE record, const char *name, uint32_t *level);
/**
 * Writes a trace line when the levels let its class through for the binding.
 *
 * The message is formatted like `printf` (`%ld` and the other `l` forms take
 * a 32-bit value). In a trace file each line is written and flushed to the
 * device before the call returns.
 *
 * @param record  the debug record
 * @param name    the binding's name, 1 to 16 characters
 * @param cls     #X_TRACE_HIGH, #X_TRACE_MEDIUM or #X_TRACE_LOW
 * @param format  the message's format, then its values
 * @return 1 when the line was written or was not wanted, 0 on failure (or,
 *         for the debug console, the console's result).
 */
XAPI int32_t XTrace(XHANDLE record, const char *name, int32_t cls, const char *format, ...);
/**
 * XTrace() with class #X_TRACE_HIGH.
 *
 * @param record  the debug record
 * @param name    the binding's name
 * @param format  the message's format, then its values
 * @return as XTrace().
 */
XAPI int32_t XTraceH(XHANDLE record, const char *name, const char *format, ...);
/**
 * XTrace() with class #X_TRACE_MEDIUM.
 *
 * @param record  the debug record
 * @param name    the binding's name
 * @param format  the message's format, then its values
 * @return as XTrace().
 */
XAPI int32_t XTraceM(XHANDLE record, const char *name, const char *format, ...);
/**
 * XTrace() with class #X_TRACE_LOW.
 *
 * @param record  the debug record
 * @param name    the binding's name
 * @param format  the message's format, then its values
 * @return as XTrace().
 */
XAPI int32_t XTraceL(XHANDLE record, const char *name, const char *format, ...);
/**
 * Writes a ready line to the record's destination, as it is.
 *
 * No time or name is added. For a trace file the line feed is put into the
 * caller's buffer, so the buffer needs two bytes of room after the line.
 *
 * @param record  the debug record
 * @param line    the line, 1 to 255 characters, in a writable buffer
 * @return 1, or 0 on failure; for the debug console, the console's result.
 */
XAPI int32_t X_trace_out(XHANDLE record, char *line);
/**
 * Hands a line to the debug console (`XPutDebugConsole` of `libzaxdput.so.1`,
 * or of the library that `ZAXXLIB_ZAXDPUT` names).
 *
 * @param record  the debug record, whose console area goes with the line
 * @param line    the line, zero-terminated
 * @param length  not used
 * @return the console's result (non-zero for success), or 0 when it cannot be loaded.
 */
XAPI int32_t X_trace_out_to_default(XHANDLE record, const char *line, int32_t length);
/**
 * Dumps a block of memory when the dump levels let it through for the binding.
 *
 * Writes the title as a trace line, then the block's address, then a line
 * per 16 bytes: the offset, the bytes in hexadecimal, and the bytes as
 * characters between `>` and `<`.
 *
 * @param record   the debug record
 * @param name     the binding's name, 1 to 16 characters
 * @param title    a title line (cut to 255 characters), or `NULL` or empty for none
 * @param address  the block
 * @param size     its size in bytes, 1 or more
 * @return 1 when the dump was written or was not wanted, 0 on failure.
 */
XAPI int32_t XDump(XHANDLE record, const char *name, const char *title, const void *address,
                   int32_t size);
/**
 * Writes the address line and the image lines of a block, whatever the levels.
 *
 * @param record   the debug record
 * @param address  the block
 * @param size     its size in bytes; 0 writes the address line alone
 * @return 1, or 0 on failure.
 */
XAPI int32_t X_dump_out(XHANDLE record, const void *address, int32_t size);
/**
 * Builds one image line of a dump.
 *
 * @param address  the block
 * @param size     its size in bytes
 * @param offset   the offset of the line's first byte, below size; advanced
 *                 by the bytes shown (16, or the rest)
 * @param line     receives the line, zero-terminated (128 bytes or more)
 * @return 1, or 0 on failure.
 */
XAPI int32_t X_make_dump_image(const void *address, int32_t size, int32_t *offset, char *line);

/** @} */

/**
 * @defgroup estae Exit routines and abnormal end
 * @brief Routines that run when a thread ends abnormally, so that it can give
 * back what it holds.
 *
 * A thread registers exit routines with XInitEstae(). When it meets a fatal
 * signal that nothing handles (`SIGSEGV`, `SIGBUS`, `SIGILL`, `SIGFPE`,
 * `SIGTRAP`, `SIGSYS`), or calls XAbend(), its routines run on it, newest
 * first; then the handler that was installed before the library's, then the
 * crash handler (`libzaxcrash.so.1`, which writes a report to standard
 * error). Then, by the setting `TERMMODE` of section `ESTAE` of the library
 * settings file, the failing thread ends with the code as its exit code (the
 * default) or the whole process ends by the signal. A fault by signal N has
 * the code 128 + N.
 *
 * Exit routines run inside a signal handler: they should do little and avoid
 * locks that the failing thread may hold.
 * @{
 */

/** An exit routine: called with reason 1 and the parameter of its
 * registration; its result is not used. */
typedef int32_t (*XEstaeRoutine)(uint32_t reason, uint32_t parameter);

/** The caller's exit-routine block; its routine identifies the registration. */
typedef struct XEstaeBlock {
    uint32_t reserved1;    /**< not used */
    uint32_t reserved2;    /**< not used */
    XEstaeRoutine routine; /**< the exit routine */
} XEstaeBlock;

/**
 * Registers an exit routine for the calling thread.
 *
 * The first registration in a process installs the library's handler of the
 * fatal signals. A routine may be registered more than once.
 *
 * @param block      the block whose routine to register
 * @param parameter  the value the routine receives
 * @return 1, or 0 on failure.
 */
XAPI int32_t XInitEstae(const XEstaeBlock *block, uint32_t parameter);
/**
 * Removes the calling thread's newest registration of a routine.
 *
 * @param block  a block with the routine to remove
 * @return 1, or 0 on failure (reason 2: the routine is not registered).
 */
XAPI int32_t XTermEstae(const XEstaeBlock *block);
/**
 * Ends the calling thread abnormally.
 *
 * The thread's exit routines run, then the previous handler of `SIGABRT` and
 * the crash handler; then the thread ends with code as its exit code, or,
 * with `TERMMODE = 1`, the process ends by `SIGABRT`.
 *
 * @param code  the abnormal-end code
 * @return only when the process survived the end it asked for (no handler
 *         could be installed and `SIGABRT` is ignored): the result of removing
 *         the registration it made.
 */
XAPI int32_t XAbend(uint32_t code);

/** @} */

/**
 * @defgroup console Console and log output
 * @brief One-line messages to standard output, standard error or a file.
 *
 * Messages are formatted like `printf` (`%ld` and the other `l` forms take a
 * 32-bit value) and cut after 124 characters; each is written with a line
 * feed in one write and flushed.
 * @{
 */

/**
 * Writes a formatted message and a line feed to standard output.
 *
 * @param format  the format, then its values
 * @return 1, or 0 on failure.
 */
XAPI int32_t XPrintf(const char *format, ...);
/**
 * As XPrintf(), with three routing values that mean nothing here.
 *
 * @param format  the format
 * @param a       not used
 * @param b       not used
 * @param c       not used; the format's values follow
 * @return 1, or 0 on failure.
 */
XAPI int32_t XWto(const char *format, int32_t a, int32_t b, int32_t c, ...);
/**
 * Writes an operator message: a title and up to 9 lines, each followed by a
 * line feed, to standard output in one write.
 *
 * @param title  the title (its first 34 characters), or `NULL`
 * @param lines  the lines (the first 70 characters of each), or `NULL` for none
 * @param count  the number of lines, 0 to 9
 * @return 1, or 0 on failure.
 */
XAPI int32_t XWtoMulti(const char *title, const char *const *lines, uint32_t count);
/**
 * As XPrintf(): the log is standard output here.
 *
 * @param format  the format, then its values
 * @return 1, or 0 on failure.
 */
XAPI int32_t XPrintfToLog(const char *format, ...);
/**
 * Writes a formatted message and a line feed to a stream or a file.
 *
 * @param target  1 standard output, -1 standard error, any other value a
 *                file handle of XOpenFile()
 * @param format  the format, then its values
 * @return 1, or 0 on failure.
 */
XAPI int32_t XFprintf(int32_t target, const char *format, ...);
/**
 * Takes an operator message back: there is nothing to take back here.
 *
 * @param message  the message's identifier
 * @return 1.
 */
XAPI int32_t XDeleteMsg(uint32_t message);

/** @} */

/**
 * @defgroup locks Lock objects and compare-and-swap
 * @brief Mutual exclusion between threads and between processes.
 *
 * A lock object is private to its process (key -1) or shared by every
 * process that creates one with the same key. It is not recursive through
 * one record: a thread that holds it and asks again through the same record
 * is refused (result 0, reason 10). When a holder ends without releasing it,
 * the next taker gets it (result 1); the data it protected may be half
 * changed.
 * @{
 */

/**
 * Makes a lock object.
 *
 * For a key whose lock exists already the existing lock is opened; each
 * record keeps its own owner.
 *
 * @param key  a key (see XMakeKey()), or -1 for a lock private to the process
 * @return the lock object, or `NULL` on failure.
 */
XAPI XHANDLE XCreateLockObj(int32_t key);
/**
 * Gives a lock object back (even when it is still held).
 *
 * @param lock  the lock object
 * @return 1, or 0 on failure.
 */
XAPI int32_t XDestroyLockObj(XHANDLE lock);
/**
 * Takes a lock.
 *
 * @param lock     the lock object
 * @param timeout  milliseconds to wait; #X_INFINITE waits without limit, 0 only tries
 * @return 1 when the calling thread holds it now; 0 when refused (a null
 *         lock, or the calling thread holds it through this record already);
 *         2 when it was not had in time or the wait failed (reason 2,
 *         `ETIMEDOUT` for a time-out).
 */
XAPI int32_t XLockObj(XHANDLE lock, uint32_t timeout);
/**
 * Releases a lock that the calling thread holds.
 *
 * @param lock  the lock object
 * @return 1, or 0 when it is not held by the calling thread (with
 *         XIsLockObj() reason 4 when another thread holds it, nothing
 *         recorded when nobody does) or on failure.
 */
XAPI int32_t XUnlockObj(XHANDLE lock);
/**
 * Whether the calling thread holds a lock through this record. Never blocks.
 *
 * @param lock  the lock object
 * @return 1 when it does; 0 when it does not (reason 4 when another thread
 *         holds the lock) or on failure.
 */
XAPI int32_t XIsLockObj(XHANDLE lock);
/**
 * Replaces a word atomically when it holds an expected value.
 *
 * Valid on words in memory that processes share.
 *
 * @param word         the word
 * @param expected     the value it must hold
 * @param replacement  the value it gets
 * @return 1 when it was replaced; 0 when it did not hold expected (reason 4,
 *         nothing changed) or on failure.
 */
XAPI int32_t XCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement);
/**
 * XCompareSwap() for a word in shared memory.
 *
 * @param word         the word
 * @param expected     the value it must hold
 * @param replacement  the value it gets
 * @return as XCompareSwap().
 */
XAPI int32_t XGlobalCompareSwap(volatile uint32_t *word, uint32_t expected, uint32_t replacement);

/** @} */

/**
 * @defgroup events Events, waits, timers and cross-process posting
 * @brief One-shot signals between threads and processes.
 *
 * An event is posted, and one waiting thread takes the post; several posts
 * before a wait count as one, and a post with no waiter stays until the next
 * wait. Events are found by key, so that processes signal each other; key
 * `0xFFFFFFFF` makes an event private to the process. In the small event
 * mode (the default) events of one key are one object for every process; in
 * the large mode (`ZAXXLIB_EVENT_NUMBER` above 64, after XInitXlib()) they
 * are slots of the process's event table, and XGlobalPostEvent() reaches
 * another process's event of a key. Process and thread handles of
 * XCreateProcess() and XCreateThread() can be waited for like events.
 * @{
 */

/**
 * Makes an event, or opens the event of a key.
 *
 * In the large mode all the calls of one process for one key share one slot
 * (counted), and key 0 is refused.
 *
 * @param handle_out  receives the event's handle
 * @param key         a key, or `0xFFFFFFFF` for a private event
 * @return 1, or 0 on failure (large mode: reason 6, the table is full).
 */
XAPI int32_t XCreateEvent(XHANDLE *handle_out, uint32_t key);
/**
 * Gives an event back.
 *
 * @param event  the event
 * @return 1, or 0 on failure.
 */
XAPI int32_t XDestroyEvent(XHANDLE event);
/**
 * Posts an event: the next (or a waiting) XWaitEvent() on it takes the post.
 *
 * @param event     the event
 * @param reserved  has no effect
 * @return 1, or 0 on failure.
 */
XAPI int32_t XPostEvent(XHANDLE event, uint32_t reserved);
/**
 * Waits until one of several events is posted (or one of several process or
 * thread handles has ended), and takes it.
 *
 * When several are ready, the lowest position wins. In the large mode only
 * one thread at a time may wait on an event (a second is refused, reason 5).
 *
 * @param events   the events and handles
 * @param count    how many: 1 to 64 in the small mode; in the large mode any
 *                 number of table events and up to 63 other handles
 * @param timeout  milliseconds to wait; #X_INFINITE without limit, 0 only tries
 * @return the position (from 0) of the event taken; -2 when the time ran
 *         out; -1 on failure.
 */
XAPI int32_t XWaitEvent(XHANDLE *events, int32_t count, uint32_t timeout);
/**
 * Suspends the calling thread.
 *
 * @param milliseconds  how long, 1 or more
 * @return 1, or 0 for 0 milliseconds.
 */
XAPI int32_t XSleep(uint32_t milliseconds);
/**
 * Posts the event of an event's key in another process (or in this one).
 *
 * In the small mode this is XPostEvent(): the event is shared anyway. In the
 * large mode the key goes to the target process's event socket, and that
 * process posts its own event of the key (a key it has no event for is
 * ignored there: the result is still 1).
 *
 * @param event     an event with a key
 * @param reserved  passed on to XPostEvent() in the small mode
 * @param process   the target's process identifier
 * @return 1 when posted (small mode) or sent (large mode), 0 on failure
 *         (reason 4: the target has no event socket, `ENOENT`, or left a
 *         stale one, `ECONNREFUSED`).
 */
XAPI int32_t XGlobalPostEvent(XHANDLE event, uint32_t reserved, uint32_t process);
/**
 * Posts an event once, after a delay.
 *
 * At most 16 timers run in one process; a 17th call waits about a second
 * for a free place and then fails (reason 8). The timer gives itself back
 * when it expires.
 *
 * @param event  the event to post
 * @param delay  milliseconds, 1 to 86400000 (24 hours)
 * @return the timer's handle, or `NULL` on failure.
 */
XAPI XHANDLE XSetTimer(XHANDLE event, uint32_t delay);
/**
 * Stops a timer before it expires.
 *
 * Only the thread that set a timer may stop it.
 *
 * @param timer  the timer
 * @return 1; 0 when it has expired or was stopped already, was set by another
 *         thread (reason 1), or on failure.
 */
XAPI int32_t XKillTimer(XHANDLE timer);

/** @} */

/**
 * @defgroup shm Shared memory segments
 * @brief Memory that several processes map at once, found by key.
 *
 * One process allocates the segment of a key, the others open it; each sees
 * it at an address of its own. The allocated keys are recorded in the vector
 * table, so these calls need the initiator service. A segment is a file of
 * the run-time directory with a 16-byte header (`"KELM"`, total size, key,
 * two tag bytes) before the caller's area.
 * @{
 */

/**
 * Allocates the segment of a key, zero-filled, and maps it.
 *
 * @param handle_out  receives the segment's handle
 * @param size        the area's size in bytes, not 0
 * @param key         the key, not 0
 * @param tag1        its low byte goes into the header
 * @param tag2        its low byte goes into the header
 * @return the area, or #X_FAILED_PTR on failure (reason 16: the key is
 *         allocated already).
 */
XAPI void *XAllocShrMemory(XHANDLE *handle_out, uint32_t size, uint32_t key, uint32_t tag1,
                           uint32_t tag2);
/**
 * Maps the allocated segment of a key.
 *
 * @param handle_out  receives the segment's handle
 * @param key         the key, not 0
 * @return the area, or #X_FAILED_PTR on failure (the vector table's
 *         `0x8D0002` when the key is not allocated).
 */
XAPI void *XOpenShrMemory(XHANDLE *handle_out, uint32_t key);
/**
 * Frees a segment's key and unmaps it from this process.
 *
 * Any process that has the segment mapped may free it; the others' views
 * stay valid until they close them.
 *
 * @param area    the area
 * @param handle  the segment's handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XFreeShrMemory(void *area, XHANDLE handle);
/**
 * Unmaps a segment from this process; the key stays allocated.
 *
 * @param area    the area
 * @param handle  the segment's handle
 * @return 1, or 0 on failure (with the codes of XFreeShrMemory()).
 */
XAPI int32_t XCloseShrMemory(void *area, XHANDLE handle);

/** @} */

/**
 * @defgroup lists Lists
 * @brief Ordered sequences of byte strings: local to a process, or global to
 * the machine.
 *
 * Elements are copied in when added and copied out when peeked at or
 * removed. Positions count from 1; 0 means the first element and -1 the last
 * (for adding: before the first, after the last; count + 1 also appends). A
 * list's capacity bounds its bytes, each element counting its size + 12.
 *
 * Every operation holds the list's lock for its whole run. The plain forms
 * wait for it without limit; the forms whose name ends in `T` take a
 * time-out in milliseconds (-1 without limit, 0 only tries) and return -2
 * when the lock was not had in time. The lock is nestable for its holder:
 * X_lock_list() makes several operations one. After any failure the list is
 * as it was.
 *
 * A global list lives in a shared memory segment of its key (or, when the
 * `REDIS` settings select its key, on a Redis server) and is shared by every
 * process that creates it with the same key, capacity and tag; the last
 * process to leave it frees it.
 * @{
 */

/**
 * Makes a local list.
 *
 * @param capacity  the most bytes it holds, each element counting its size
 *                  + 12; 0 for no limit
 * @param key       not used
 * @param tag       a memory tag, kept with the list
 * @return the list's handle, or `NULL` on failure.
 */
XAPI XHANDLE XCreateList(uint32_t capacity, int32_t key, uint32_t tag);
/**
 * Frees a local list with all its elements.
 *
 * @param list  the local list (a global list is refused)
 * @return 1 when every step succeeded, else 0.
 */
XAPI int32_t XDestroyList(XHANDLE list);
/**
 * Adds an element (waiting for the list without limit).
 *
 * @param list      the list
 * @param data      the element's bytes, copied in
 * @param size      its size, 1 or more
 * @param position  where: 1 to count + 1, 0 before the first, -1 after the last
 * @return 1, or 0 on failure (with the codes of XAddListT()).
 */
XAPI int32_t XAddList(XHANDLE list, const void *data, uint32_t size, int32_t position);
/**
 * Adds an element, waiting at most a time-out for the list.
 *
 * @param list      the list
 * @param data      the element's bytes, copied in
 * @param size      its size, 1 or more
 * @param position  where: 1 to count + 1, 0 before the first, -1 after the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure (reason 2: no such position, 3: it does not fit);
 *         -2 when the list was not had in time.
 */
XAPI int32_t XAddListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                       int32_t timeout);
/**
 * Removes an element, copying it out.
 *
 * @param list      the list
 * @param buffer    receives the element; `NULL` to drop it
 * @param size      the buffer's size; a smaller buffer gets the first bytes,
 *                  the call fails (reason 2) and the element stays
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @return 1, or 0 on failure (with the codes of XRemoveListT()).
 */
XAPI int32_t XRemoveList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/**
 * XRemoveList() with a time-out for the list.
 *
 * @param list      the list
 * @param buffer    receives the element; `NULL` to drop it
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure (reason 3: no such element, 2: the buffer is too
 *         small); -2 when the list was not had in time.
 */
XAPI int32_t XRemoveListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                          int32_t timeout);
/**
 * Copies an element out, leaving it in the list.
 *
 * A smaller buffer gets the first bytes (no failure); a `NULL` buffer asks
 * for the size alone.
 *
 * @param list      the list
 * @param buffer    receives the element, or `NULL`
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @return the element's size, or 0 on failure (with the codes of XPeekListT()).
 */
XAPI int32_t XPeekList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/**
 * XPeekList() with a time-out for the list.
 *
 * @param list      the list
 * @param buffer    receives the element, or `NULL`
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return the element's size; -1 on failure (reason 2: no such element); -2
 *         when the list was not had in time.
 */
XAPI int32_t XPeekListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                        int32_t timeout);
/**
 * The number of elements.
 *
 * @param list  the list
 * @return the count, or 0 on failure: 0 is also an empty list.
 */
XAPI int32_t XGetListNum(XHANDLE list);
/**
 * The number of elements, with a time-out for the list.
 *
 * @param list     the list
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return the count; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XGetListNumT(XHANDLE list, int32_t timeout);

/**
 * Makes the global list of a key, or attaches to it.
 *
 * The first process that creates a key's list makes it; the others attach,
 * with the same capacity and tag. A global list in shared memory needs the
 * initiator service.
 *
 * @param capacity  the most bytes it holds, each element counting its size + 12; not 0
 * @param key       the key, not 0
 * @param tag       a memory tag; the same in every process
 * @return the list's handle, or `NULL` on failure (reason 2: a list of the
 *         key exists with another capacity, detail 1, or tag, detail 2).
 */
XAPI XHANDLE XCreateGlobalList(uint32_t capacity, uint32_t key, uint32_t tag);
/**
 * Leaves a global list; the last process to leave frees it.
 *
 * The elements stay for the other processes.
 *
 * @param list  the global list (a local list is refused)
 * @return 1 when every step succeeded, else 0.
 */
XAPI int32_t XDestroyGlobalList(XHANDLE list);
/**
 * XAddList() on a global list.
 *
 * @param list      the global list
 * @param data      the element's bytes
 * @param size      its size, 1 or more
 * @param position  where: 1 to count + 1, 0 before the first, -1 after the last
 * @return 1, or 0 on failure.
 */
XAPI int32_t XAddGlobalList(XHANDLE list, const void *data, uint32_t size, int32_t position);
/**
 * XAddListT() on a global list.
 *
 * @param list      the global list
 * @param data      the element's bytes
 * @param size      its size, 1 or more
 * @param position  where: 1 to count + 1, 0 before the first, -1 after the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XAddGlobalListT(XHANDLE list, const void *data, uint32_t size, int32_t position,
                             int32_t timeout);
/**
 * XRemoveList() on a global list.
 *
 * @param list      the global list
 * @param buffer    receives the element; `NULL` to drop it
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @return 1, or 0 on failure.
 */
XAPI int32_t XRemoveGlobalList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/**
 * XRemoveListT() on a global list.
 *
 * @param list      the global list
 * @param buffer    receives the element; `NULL` to drop it
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XRemoveGlobalListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                                int32_t timeout);
/**
 * XPeekList() on a global list.
 *
 * @param list      the global list
 * @param buffer    receives the element, or `NULL`
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @return the element's size, or 0 on failure.
 */
XAPI int32_t XPeekGlobalList(XHANDLE list, void *buffer, uint32_t size, int32_t position);
/**
 * XPeekListT() on a global list.
 *
 * @param list      the global list
 * @param buffer    receives the element, or `NULL`
 * @param size      the buffer's size
 * @param position  which: 1 to count, 0 the first, -1 the last
 * @param timeout   milliseconds to wait for the list; -1 without limit
 * @return the element's size; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XPeekGlobalListT(XHANDLE list, void *buffer, uint32_t size, int32_t position,
                              int32_t timeout);
/**
 * The number of elements of a global list.
 *
 * @param list  the global list
 * @return the count, or -1 on failure (unlike XGetListNum()).
 */
XAPI int32_t XGetGlobalListNum(XHANDLE list);
/**
 * The number of elements of a global list, with a time-out for the list.
 *
 * @param list     the global list
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return the count; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XGetGlobalListNumT(XHANDLE list, int32_t timeout);
/**
 * XSaveList() on a global list.
 *
 * @param list  the global list
 * @param name  the file's name
 * @return 1, or 0 on failure.
 */
XAPI int32_t XSaveGlobalList(XHANDLE list, const char *name);
/**
 * XSaveListT() on a global list.
 *
 * @param list     the global list
 * @param name     the file's name
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XSaveGlobalListT(XHANDLE list, const char *name, int32_t timeout);
/**
 * XLoadList() on a global list.
 *
 * @param list  the global list
 * @param name  the file's name
 * @return 1, or 0 on failure.
 */
XAPI int32_t XLoadGlobalList(XHANDLE list, const char *name);
/**
 * XLoadListT() on a global list.
 *
 * @param list     the global list
 * @param name     the file's name
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XLoadGlobalListT(XHANDLE list, const char *name, int32_t timeout);

/**
 * Writes every element of a list, first to last, to a file.
 *
 * The file (created, or emptied when it exists) is locked while it is
 * written: a header of two little-endian 32-bit numbers (the bytes that
 * follow, the number of elements), then each element as its size and its
 * bytes. A failed save leaves a partly written file. The name is looked for
 * as a glob pattern: avoid `*`, `?` and `[` in it.
 *
 * @param list  the list
 * @param name  the file's name
 * @return 1, or 0 on failure (with the codes of XSaveListT()).
 */
XAPI int32_t XSaveList(XHANDLE list, const char *name);
/**
 * XSaveList() with a time-out for the list.
 *
 * @param list     the list
 * @param name     the file's name
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure; -2 when the list was not had in time.
 */
XAPI int32_t XSaveListT(XHANDLE list, const char *name, int32_t timeout);
/**
 * Replaces a list's elements with those of a saved file, all or nothing.
 *
 * A file saved from a local list loads into a global one and the reverse.
 * On any failure the list is exactly as it was.
 *
 * @param list  the list
 * @param name  the file's name
 * @return 1, or 0 on failure (with the codes of XLoadListT()).
 */
XAPI int32_t XLoadList(XHANDLE list, const char *name);
/**
 * XLoadList() with a time-out for the list.
 *
 * @param list     the list
 * @param name     the file's name
 * @param timeout  milliseconds to wait for the list; -1 without limit
 * @return 1; -1 on failure (reason 2: the file holds more than the list's
 *         capacity); -2 when the list was not had in time.
 */
XAPI int32_t XLoadListT(XHANDLE list, const char *name, int32_t timeout);

/**
 * For the library's partners: makes the lock object of a list.
 *
 * @param list  the list's handle
 * @param key   a key for a lock shared by processes, or -1 for a private one
 * @return 1, or 0 on failure (with the codes of XCreateLockObj()).
 */
XAPI int32_t X_create_list_lock(XHANDLE list, int32_t key);
/**
 * For the library's partners: gives the lock object of a list back.
 *
 * @param list  the list's handle
 * @return 1, or 0 on failure (with the codes of XDestroyLockObj()).
 */
XAPI int32_t X_destroy_list_lock(XHANDLE list);
/**
 * Holds a list's lock, waiting without limit, so that several operations
 * of the calling thread become one. Nestable: each hold needs one
 * X_unlock_list().
 *
 * @param list  the list
 * @return 1 when held, 0 on failure.
 */
XAPI int32_t X_lock_list(XHANDLE list);
/**
 * Gives one hold of a list's lock back.
 *
 * @param list  the list
 * @return 1, or 0 when the calling thread does not hold it or on failure.
 */
XAPI int32_t X_unlock_list(XHANDLE list);
/**
 * For the library's partners: storage for an element in a list's region.
 *
 * @param region  the list's region
 * @param size    the element's data size
 * @param flags   not used
 * @return the element's storage, or `NULL` on failure (global lists: reason
 *         2, not enough free words; 3, no run of free words long enough).
 */
XAPI void *X_alloc_list(void *region, uint32_t size, uint32_t flags);
/**
 * For the library's partners: gives an element's storage back to a list's region.
 *
 * @param region   the list's region
 * @param element  the element's storage from X_alloc_list()
 * @return 1, or 0 on failure.
 */
XAPI int32_t X_free_list(void *region, void *element);

/** @} */

/**
 * @defgroup files Files, line input and output, memory-mapped files
 * @brief Files through one flag word and numbered seek origins that are the
 * same on every platform of the family.
 *
 * A file handle is the system's descriptor (3 or more); the library keeps no
 * buffer or state of its own for it, so any handle of XOpenFile() may be
 * given to every function here. File names have 1 to 255 characters. The
 * whole-file locks are exclusive, belong to the handle (a second handle of
 * the same process is kept out as another process is) and go with its
 * close; they keep out only openers that lock too. The functions with `64`
 * in their name are those without it, except XSeekFile64() and
 * XGetFileSize64(), which take 64-bit positions and sizes.
 * @{
 */

/** Open flag: read only. Exactly one of the three access flags is given. */
#define X_OPEN_READ 0x1u
/** Open flag: read and write (the same access as #X_OPEN_READWRITE). */
#define X_OPEN_WRITE 0x2u
/** Open flag: read and write. */
#define X_OPEN_READWRITE 0x4u
/** Open flag: lock the whole file after opening, waiting for it. At most one
 * of the two lock flags. */
#define X_OPEN_LOCK 0x100u
/** Open flag: lock the whole file after opening; fail at once when another
 * handle holds it. */
#define X_OPEN_LOCK_NOWAIT 0x200u
/** Open flag: create a new file; fail when it exists. At most one of the two
 * disposition flags; without either the file must exist and stays as it is. */
#define X_OPEN_CREATE 0x10000u
/** Open flag: cut an existing file to length 0; fail when it is missing. Not
 * with #X_OPEN_READ. With a lock flag the file is cut only once the lock is had. */
#define X_OPEN_TRUNCATE 0x20000u
/** Lock mode of XLockFile(): wait for the lock. */
#define X_LOCK_WAIT 0x100
/** Lock mode of XLockFile(): fail at once (reason 2, `EAGAIN`) when another handle holds it. */
#define X_LOCK_NOWAIT 0x200
/** Seek origin: the start of the file. */
#define X_SEEK_SET 1
/** Seek origin: the current position. */
#define X_SEEK_CUR 2
/** Seek origin: the end of the file. */
#define X_SEEK_END 4
/** Mapped-file access: the view can be read. */
#define X_MAP_READ 1
/** Mapped-file access: the view can be read and written. */
#define X_MAP_READWRITE 4
/** Mapped-file sharing: any number of openers. */
#define X_MAP_SHARED 1
/** Mapped-file sharing: one exclusive opener at a time, in all processes
 * (shared openers are not kept out). */
#define X_MAP_EXCLUSIVE 2
/** Byte order of XReadFileLn_UTF16(): big-endian. */
#define X_UTF16_BIG 1
/** Byte order of XReadFileLn_UTF16(): little-endian. */
#define X_UTF16_LITTLE 2

/**
 * Opens a file.
 *
 * Nothing is left open or locked when the call fails.
 *
 * @param name      the file's name, 1 to 255 characters
 * @param reserved  not used; pass 0
 * @param flags     exactly one of #X_OPEN_READ, #X_OPEN_WRITE,
 *                  #X_OPEN_READWRITE; at most one of #X_OPEN_LOCK,
 *                  #X_OPEN_LOCK_NOWAIT; at most one of #X_OPEN_CREATE,
 *                  #X_OPEN_TRUNCATE; no other bit
 * @return the file handle, or 0 on failure (reason 1, detail 3: the flags;
 *         reason 2: the system's error, for instance `EEXIST` or `ENOENT`;
 *         a lock that cannot be had: XLockFile() reason 2).
 */
XAPI XFILE XOpenFile(const char *name, int32_t reserved, uint32_t flags);
/**
 * Closes a file handle (and with it the handle's lock).
 *
 * @param handle  the file handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XCloseFile(XFILE handle);
/**
 * Deletes a file.
 *
 * @param name  the file's name, 1 to 255 characters
 * @return 1, or 0 on failure.
 */
XAPI int32_t XDeleteFile(const char *name);
/**
 * Whether a name matches an existing file.
 *
 * The name is a glob pattern (`*`, `?`, `[...]`): the first match is enough.
 *
 * @param name  the name or pattern, 1 to 255 characters
 * @return 1 when something matches; 0 when nothing does (reason 4, `ENOENT`)
 *         or on failure (reason 2).
 */
XAPI int32_t XExistFile(const char *name);
/**
 * Writes a file's data to the device (`fsync`).
 *
 * @param handle  the file handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XFlushFile(XFILE handle);
/**
 * Locks the whole file for the handle.
 *
 * Locking again a file that the handle holds succeeds.
 *
 * @param handle  the file handle
 * @param mode    #X_LOCK_WAIT or #X_LOCK_NOWAIT
 * @return 1, or 0 on failure (reason 2, `EAGAIN`: held by another handle).
 */
XAPI int32_t XLockFile(XFILE handle, int32_t mode);
/**
 * Releases the handle's whole-file lock (succeeds when it holds none).
 *
 * @param handle  the file handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XUnlockFile(XFILE handle);
/**
 * Reads once, up to a count of bytes.
 *
 * Fewer bytes than asked for is no failure, but leaves reason 1 (detail 0,
 * kind 1) in the error record: that is how the end of the file shows.
 *
 * @param handle  the file handle
 * @param buffer  receives the bytes
 * @param count   the most bytes to read, 1 or more
 * @return the bytes read (0 at the end of the file), or -1 on failure.
 */
XAPI int32_t XReadFile(XFILE handle, void *buffer, uint32_t count);
/**
 * Writes bytes.
 *
 * @param handle  the file handle
 * @param buffer  the bytes
 * @param count   how many, 1 or more
 * @return the bytes written, or -1 on failure.
 */
XAPI int32_t XWriteFile(XFILE handle, const void *buffer, uint32_t count);
/**
 * Moves the file position, never past the end of the file.
 *
 * Positions and sizes are the lower 32 bits of the real ones; use
 * XSeekFile64() for files of 2 GiB or more.
 *
 * @param handle  the file handle
 * @param offset  the move, signed
 * @param origin  #X_SEEK_SET, #X_SEEK_CUR or #X_SEEK_END
 * @return the new position from the start, or -1 on failure (reason 1,
 *         detail 2: the target lies before the start or past the end).
 */
XAPI int32_t XSeekFile(XFILE handle, int32_t offset, int32_t origin);
/**
 * Does nothing.
 *
 * @param a  not used
 * @param b  not used
 * @return 1.
 */
XAPI int32_t XGetFileInfo(int32_t a, int32_t b);
/**
 * XOpenFile().
 *
 * @param name      the file's name
 * @param reserved  not used
 * @param flags     the open flags
 * @return as XOpenFile().
 */
XAPI XFILE XOpenFile64(const char *name, int32_t reserved, uint32_t flags);
/**
 * XCloseFile().
 *
 * @param handle  the file handle
 * @return as XCloseFile().
 */
XAPI int32_t XCloseFile64(XFILE handle);
/**
 * XDeleteFile().
 *
 * @param name  the file's name
 * @return as XDeleteFile().
 */
XAPI int32_t XDeleteFile64(const char *name);
/**
 * XExistFile().
 *
 * @param name  the name or pattern
 * @return as XExistFile().
 */
XAPI int32_t XExistFile64(const char *name);
/**
 * XFlushFile().
 *
 * @param handle  the file handle
 * @return as XFlushFile().
 */
XAPI int32_t XFlushFile64(XFILE handle);
/**
 * XLockFile().
 *
 * @param handle  the file handle
 * @param mode    #X_LOCK_WAIT or #X_LOCK_NOWAIT
 * @return as XLockFile().
 */
XAPI int32_t XLockFile64(XFILE handle, int32_t mode);
/**
 * XUnlockFile().
 *
 * @param handle  the file handle
 * @return as XUnlockFile().
 */
XAPI int32_t XUnlockFile64(XFILE handle);
/**
 * XReadFile().
 *
 * @param handle  the file handle
 * @param buffer  receives the bytes
 * @param count   the most bytes to read
 * @return as XReadFile().
 */
XAPI int32_t XReadFile64(XFILE handle, void *buffer, uint32_t count);
/**
 * XWriteFile().
 *
 * @param handle  the file handle
 * @param buffer  the bytes
 * @param count   how many
 * @return as XWriteFile().
 */
XAPI int32_t XWriteFile64(XFILE handle, const void *buffer, uint32_t count);
/**
 * XGetFileInfo().
 *
 * @param a  not used
 * @param b  not used
 * @return 1.
 */
XAPI int32_t XGetFileInfo64(int32_t a, int32_t b);
/**
 * Moves the file position by a 64-bit offset, never past the end of the file.
 *
 * @param handle  the file handle
 * @param high    the offset's upper 32 bits (signed); receives the new
 *                position's upper half
 * @param low     the offset's lower 32 bits; receives the new position's lower half
 * @param origin  #X_SEEK_SET, #X_SEEK_CUR or #X_SEEK_END
 * @return 1, or 0 on failure (reason 5: the target lies before the start or
 *         past the end); high and low are then unchanged.
 */
XAPI int32_t XSeekFile64(XFILE handle, int32_t *high, uint32_t *low, int32_t origin);

/**
 * Reads the next line.
 *
 * A line ends with a line feed (0x0A) or a form feed (0x0C), which the
 * result includes; a carriage return is an ordinary byte. Nothing is
 * zero-terminated, and the file position is moved back to just after the
 * line end, so the next call starts with the next line. A line longer than
 * the buffer comes back in pieces of size bytes. Works on files that can
 * seek (not on pipes).
 *
 * @param handle  the file handle
 * @param buffer  receives the line's bytes
 * @param size    the buffer's size, 1 or more
 * @return the line's length with its line end; the bytes read when no line
 *         end lies within them (the last line of the file, or a long line);
 *         0 at the end of the file; -1 on failure.
 */
XAPI int32_t XReadFileLn(XFILE handle, void *buffer, int32_t size);
/**
 * XReadFileLn().
 *
 * @param handle  the file handle
 * @param buffer  receives the line's bytes
 * @param size    the buffer's size
 * @return as XReadFileLn().
 */
XAPI int32_t XReadFileLn64(XFILE handle, void *buffer, int32_t size);
/**
 * XReadFileLn() for UTF-16 text: a line ends with the unit 0x000A or 0x000C
 * in the given byte order (a byte-order mark is not looked at).
 *
 * @param handle     the file handle
 * @param buffer     receives the line's bytes
 * @param size       the buffer's size in bytes, 1 or more
 * @param byteorder  #X_UTF16_BIG or #X_UTF16_LITTLE
 * @return as XReadFileLn(), counting the two bytes of the line end.
 */
XAPI int32_t XReadFileLn_UTF16(XFILE handle, void *buffer, int32_t size, int16_t byteorder);
/**
 * Writes bytes as they are; no line end is added.
 *
 * @param handle  the file handle
 * @param buffer  the bytes, with their line end
 * @param count   how many, 1 or more
 * @return the bytes written, or -1 on failure.
 */
XAPI int32_t XWriteFileLn(XFILE handle, const void *buffer, int32_t count);
/**
 * The size of a regular file, its lower 32 bits.
 *
 * @param handle  the file handle
 * @return the size; -1 on failure; -2 for a pipe, socket, terminal or device (reason 3).
 */
XAPI int32_t XGetFileSize(XFILE handle);
/**
 * The size of a regular file, whole.
 *
 * @param handle  the file handle
 * @param high    receives the upper 32 bits
 * @param low     receives the lower 32 bits
 * @return 0; -1 on failure; -2 for a pipe, socket, terminal or device (reason 3).
 */
XAPI int32_t XGetFileSize64(XFILE handle, uint32_t *high, uint32_t *low);

/**
 * Maps an existing file whole into memory.
 *
 * Every process that maps a file shares its pages, so they see each other's
 * changes. The mapping covers the file's size at the time of the call; an
 * empty file cannot be mapped (reason 3). An exclusive opener keeps the
 * other exclusive openers of the same file out, in every process, until it
 * closes (reason 7, `EAGAIN`).
 *
 * @param handle   receives the mapped-file handle
 * @param name     the file's name, 1 to 255 characters
 * @param access   #X_MAP_READ or #X_MAP_READWRITE
 * @param sharing  #X_MAP_SHARED or #X_MAP_EXCLUSIVE
 * @return the address of the file's first byte, or `NULL` on failure.
 */
XAPI void *XOpenMemMapFile(XHANDLE *handle, const char *name, int32_t access, int32_t sharing);
/**
 * Writes the view's changed pages to the file.
 *
 * @param handle  the mapped-file handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XFlushMemMapFile(XHANDLE handle);
/**
 * Flushes and unmaps a mapped file, releases its exclusivity and frees the handle.
 *
 * Everything is released even when a step fails.
 *
 * @param handle  the mapped-file handle
 * @return 1 when every step succeeded, else 0 (the first failure is recorded).
 */
XAPI int32_t XCloseMemMapFile(XHANDLE handle);

/** @} */

/**
 * @defgroup parm Parameter files
 * @brief Text files of sections and entries: the configuration files of the
 * family.
 *
 * A section starts with a header line `NAME :`; an entry line is
 * `KEY = value`. A value is one word (the rest of the line is a comment) or
 * a string in double quotes (which keeps blanks); it goes on in the next line
 * after an `@`, the next line starting with `=`. Any other line is kept but
 * never matched: there is no comment character. Names compare with case;
 * the first section and the first entry of a name win. The file is read
 * whole when it is opened; writes change the lines in memory and reach the
 * file when XCloseParmFile() rewrites it, every other line unchanged. The
 * guide's chapter on file formats tells every rule.
 * @{
 */

/**
 * Opens a parameter file for reading and reads it whole.
 *
 * @param directory  the directory, or `NULL` for the current directory
 * @param name       the file's name; the directory and the name together
 *                   have 1 to 255 characters
 * @return the handle, or #X_FAILED_PTR on failure (a file that cannot be
 *         opened: XOpenFile() reason 6, `0x780006`, with the `errno`).
 */
XAPI XHANDLE XOpenParmFile(const char *directory, const char *name);
/**
 * Opens a parameter file for reading and writing, creating it when it is missing.
 *
 * The file stays locked while the handle is open: a second XOpenParmFileRW()
 * of it fails at once (`0x780006`, `EAGAIN`); readers are not kept out and
 * see the old contents until the close.
 *
 * @param directory  the directory, or `NULL` for the current directory
 * @param name       the file's name
 * @return the handle, or #X_FAILED_PTR on failure.
 */
XAPI XHANDLE XOpenParmFileRW(const char *directory, const char *name);
/**
 * Closes a parameter file, rewriting it first when it was opened for writing
 * and changed.
 *
 * The rewrite writes every line in order and cuts the file after them; the
 * handle and its memory are released even when it fails.
 *
 * @param handle  the parameter-file handle
 * @return 1 when the rewrite (if any), the close and the frees succeeded, else 0.
 */
XAPI int32_t XCloseParmFile(XHANDLE handle);
/**
 * Reads an entry's value.
 *
 * @param handle   the parameter-file handle
 * @param section  the section's name
 * @param key      the entry's key
 * @param buffer   receives at most size bytes of the value, not zero-terminated
 * @param size     the buffer's size, 0 or more
 * @return the value's full length (which may be more than size), or 0 on
 *         failure (reason 2: no such section; 3: no such key; 4: no value; 5:
 *         a continuation line is missing).
 */
XAPI int32_t XReadParmStr(XHANDLE handle, const char *section, const char *key, char *buffer,
                          int32_t size);
/**
 * Reads an entry's value as a signed decimal number.
 *
 * @param handle   the parameter-file handle
 * @param section  the section's name
 * @param key      the entry's key
 * @param result   receives the number
 * @return 1, or 0 on failure (reason 2: not a number; 3: beyond the 32-bit
 *         range, and result is not to be used).
 */
XAPI int32_t XReadParmInt(XHANDLE handle, const char *section, const char *key, int32_t *result);
/**
 * Sets an entry's value, adding the section and the entry when they are missing.
 *
 * The value is written exactly as given: a value with blanks reads back
 * whole only when it includes its double quotes. A value too long for one
 * line of 70 characters goes on in continuation lines of 66.
 *
 * @param handle   a handle of XOpenParmFileRW()
 * @param section  the section's name
 * @param key      the entry's key
 * @param value    the value, zero-terminated
 * @param length   the most characters of value to take, 1 or more
 * @return 1, or 0 on failure (reason 2: the handle was opened for reading
 *         only; reason 3: a long value under a key of 65 characters or more).
 */
XAPI int32_t XWriteParmStr(XHANDLE handle, const char *section, const char *key, const char *value,
                           int32_t length);
/**
 * Sets an entry's value to a number in decimal.
 *
 * @param handle   a handle of XOpenParmFileRW()
 * @param section  the section's name
 * @param key      the entry's key
 * @param number   the number
 * @return 1, or 0 on failure (with the codes of XWriteParmStr()).
 */
XAPI int32_t XWriteParmInt(XHANDLE handle, const char *section, const char *key, int32_t number);
/**
 * Gives the key and value of a section's entry by position.
 *
 * Neither is zero-terminated; the sizes give the full lengths.
 *
 * @param handle      the parameter-file handle
 * @param index       the entry's position among the section's entries, from 0
 * @param section     the section's name
 * @param key         receives the key
 * @param key_size    the key buffer's size (1 or more) on entry; the key's
 *                    full length on return
 * @param value       receives the value; `NULL` to ask for its length only
 * @param value_size  the value buffer's size on entry; the value's full length on return
 * @return 0 both copied whole; -1 the key was cut; -2 the value was cut; -3
 *         both were cut; -4 no entry at that position (nothing recorded); -5
 *         on failure.
 */
XAPI int32_t XListParmEntry(XHANDLE handle, int32_t index, const char *section, char *key,
                            int32_t *key_size, char *value, int32_t *value_size);

/** @} */

/**
 * @defgroup registry Registry
 * @brief Keys and values below `SOFTWARE\ZAX\`, kept in SQLite databases.
 *
 * A key is opened by hive, product and sub-key: the path
 * `SOFTWARE\ZAX\product\subkey` (the sub-key may have several levels). Values
 * are 32-bit integers or strings (at most 259 bytes). The machine-wide hive
 * is the database `machine.db`, the user's hive `user.db`, both in
 * `$ZAXXLIB_REGISTRY_DIR` when it is set. Names compare without regard to the
 * case of ASCII letters. Registry errors of kind 1 carry `errno` values
 * (`ENOENT` no such key or value, `EACCES` the key was opened without the
 * right, `ESTALE` the key was deleted meanwhile, ...) or `0x10000` plus
 * SQLite's code.
 * @{
 */

#ifndef HKEY_CURRENT_USER
/** The user's hive. This and the other registry names keep the registry's
 * own names, which other headers may define too: a definition made before
 * this header is included is kept. */
#define HKEY_CURRENT_USER 0x80000001u
#endif
#ifndef HKEY_LOCAL_MACHINE
/** The machine-wide hive. */
#define HKEY_LOCAL_MACHINE 0x80000002u
#endif
/** Access of XOpenRegistry(): read; the key must exist. */
#define X_REG_READ 1
/** Access of XOpenRegistry(): write; the key is created when it is missing. */
#define X_REG_WRITE 2
/** Access of XOpenRegistry(): read and write; the key is created when it is missing. */
#define X_REG_ALL 4
#ifndef REG_SZ
/** Stored type of a string value. */
#define REG_SZ 1u
#endif
#ifndef REG_DWORD
/** Stored type of a 32-bit integer value. */
#define REG_DWORD 4u
#endif
/** Value type of XListRegValue(): a string. */
#define X_REGTYPE_STRING 1
/** Value type of XListRegValue(): any other type. */
#define X_REGTYPE_OTHER 3
/** Value type of XListRegValue(): a 32-bit integer. */
#define X_REGTYPE_INT 4

/**
 * Opens a key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name below `SOFTWARE\ZAX\` (may be empty)
 * @param subkey   the sub-key below the product, or `NULL`
 * @param access   #X_REG_READ, #X_REG_WRITE or #X_REG_ALL
 * @return the key, or #X_FAILED_PTR on failure (reason 3: a key opened for
 *         reading does not exist).
 */
XAPI XHANDLE XOpenRegistry(uint32_t hive, const char *product, const char *subkey, int32_t access);
/**
 * Closes a key.
 *
 * @param key  a key of XOpenRegistry()
 * @return 1, or 0 on failure.
 */
XAPI int32_t XCloseRegistry(XHANDLE key);
/**
 * Reads a 32-bit integer value.
 *
 * @param key     the key
 * @param name    the value's name
 * @param result  receives the number (nothing is written on failure)
 * @return 1, or 0 on failure (reason 1: the value is not an integer).
 */
XAPI int32_t XReadRegInt(XHANDLE key, const char *name, int32_t *result);
/**
 * Reads a string value.
 *
 * @param key     the key
 * @param name    the value's name
 * @param buffer  receives at most size bytes of the string; `NULL` to ask for its length
 * @param size    the buffer's size, 0 to 260
 * @return the string's length, or 0 on failure (an empty string is reason 4).
 */
XAPI int32_t XReadRegStr(XHANDLE key, const char *name, char *buffer, int32_t size);
/**
 * Stores a 32-bit integer value.
 *
 * @param key     the key
 * @param name    the value's name
 * @param number  the number
 * @return 1, or 0 on failure.
 */
XAPI int32_t XWriteRegInt(XHANDLE key, const char *name, int32_t number);
/**
 * Stores a string value.
 *
 * The bytes stored are the smaller of length and text's length, without a
 * terminating zero.
 *
 * @param key     the key
 * @param name    the value's name
 * @param text    the string
 * @param length  the most bytes to store, 1 or more
 * @return the bytes stored, or 0 on failure (reason 3: 260 bytes or more).
 */
XAPI int32_t XWriteRegStr(XHANDLE key, const char *name, const char *text, int32_t length);
/**
 * Gives the name of a key's sub-key by position.
 *
 * Sub-keys come in name order, without regard to the case of ASCII letters.
 *
 * @param key     the key
 * @param index   the position, from 0
 * @param buffer  receives the name, not zero-terminated
 * @param size    the buffer's size
 * @return the name's length; -2 when it did not fit (the first size bytes
 *         were copied); -1 when there is no sub-key at that position (nothing
 *         recorded); -3 on failure.
 */
XAPI int32_t XListRegKey(XHANDLE key, int32_t index, char *buffer, int32_t size);
/**
 * Gives a key's value by position: its type, name and data.
 *
 * Values come in the order they were created. Neither name nor data is
 * zero-terminated; for a string the data length does not count a
 * terminating zero.
 *
 * @param key      the key
 * @param index    the position, from 0
 * @param type     receives #X_REGTYPE_STRING, #X_REGTYPE_INT or #X_REGTYPE_OTHER
 * @param name     receives the value's name
 * @param namelen  the name buffer's size on entry; the name's full length on return
 * @param data     receives the data; `NULL` to ask for its length only
 * @param datalen  the data buffer's size on entry; the data's full length on return
 * @return 0 all copied; -2 the name was cut; -3 the data was cut; -1 no value
 *         at that position (nothing recorded); -4 on failure.
 */
XAPI int32_t XListRegValue(XHANDLE key, int32_t index, int32_t *type, char *name,
                           int32_t *namelen, void *data, int32_t *datalen);
/**
 * Deletes a key with every key below it.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name (may be empty)
 * @param subkey   the sub-key, or `NULL`
 * @return 1 when the whole tree is gone, else 0 (the keys not yet reached stay).
 */
XAPI int32_t XDeleteRegKey(uint32_t hive, const char *product, const char *subkey);
/**
 * Deletes a value.
 *
 * @param key   the key
 * @param name  the value's name
 * @return 1, or 0 on failure.
 */
XAPI int32_t XDeleteRegValue(XHANDLE key, const char *name);
/**
 * Opens a key for reading, reads a 32-bit integer value and closes the key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name
 * @param subkey   the sub-key, or `NULL`
 * @param name     the value's name
 * @param result   receives the number
 * @return 1, or 0 on failure (a missing key: XOpenRegistry() reason 3).
 */
XAPI int32_t XReadRegIntEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, int32_t *result);
/**
 * Opens a key for reading, reads a string value and closes the key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name
 * @param subkey   the sub-key, or `NULL`
 * @param name     the value's name
 * @param buffer   receives at most size bytes; `NULL` to ask for the length
 * @param size     the buffer's size, 0 to 260
 * @return the string's length, or 0 on failure.
 */
XAPI int32_t XReadRegStrEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, char *buffer, int32_t size);
/**
 * Opens a key (creating it), stores a 32-bit integer value and closes the key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name
 * @param subkey   the sub-key, or `NULL`
 * @param name     the value's name
 * @param number   the number
 * @return 1, or 0 on failure.
 */
XAPI int32_t XWriteRegIntEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, int32_t number);
/**
 * Opens a key (creating it), stores a string value and closes the key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name
 * @param subkey   the sub-key, or `NULL`
 * @param name     the value's name
 * @param text     the string
 * @param length   the most bytes to store, 1 or more
 * @return the bytes stored, or 0 on failure.
 */
XAPI int32_t XWriteRegStrEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, const char *text, int32_t length);
/**
 * Opens a key (creating it), deletes a value and closes the key.
 *
 * @param hive     #HKEY_LOCAL_MACHINE or #HKEY_CURRENT_USER
 * @param product  the product's name
 * @param subkey   the sub-key, or `NULL`
 * @param name     the value's name
 * @return 1, or 0 on failure.
 */
XAPI int32_t XDeleteRegValueEx(uint32_t hive, const char *product, const char *subkey,
                               const char *name);

/** @} */

/**
 * @defgroup conversion Code tables, byte order and hexadecimal
 * @brief Text between ASCII, EBCDIC and Unicode; numbers between byte orders.
 *
 * Each conversion goes through a fixed table; a character without a
 * counterpart becomes the target's period (ASCII 0x2E, EBCDIC 0x4B, U+002E)
 * and the result is 2 instead of 1. The library's ASCII holds the half-width
 * katakana in 0xA1-0xDF; Unicode text is 16-bit units in the host's byte
 * order. Counts are elements, not bytes; nothing is zero-terminated. The
 * byte-to-byte and Unicode-to-byte conversions may convert in place. The
 * guide's chapter on code tables shows every table beside the closest public
 * code page.
 * @{
 */

/** EBCDIC table variant 1: upper- and lower-case Latin letters, no katakana. */
#define X_EBCDIC_LATIN 1
/** EBCDIC table variant 2: upper-case Latin letters and the half-width katakana. */
#define X_EBCDIC_KATAKANA 2

/**
 * Converts ASCII to EBCDIC.
 *
 * @param dst      receives count bytes
 * @param src      count bytes of ASCII
 * @param count    1 or more
 * @param variant  #X_EBCDIC_LATIN or #X_EBCDIC_KATAKANA
 * @return 1; 2 when a character had no counterpart; 0 on failure (nothing written).
 */
XAPI int32_t XConvAscToEbc(void *dst, const void *src, int32_t count, int32_t variant);
/**
 * Converts ASCII to Unicode (a separate destination).
 *
 * @param dst    receives count units
 * @param src    count bytes of ASCII
 * @param count  1 or more
 * @return 1; 2 when a character had no counterpart; 0 on failure.
 */
XAPI int32_t XConvAscToUni(uint16_t *dst, const void *src, int32_t count);
/**
 * Converts EBCDIC to ASCII.
 *
 * @param dst      receives count bytes
 * @param src      count bytes of EBCDIC
 * @param count    1 or more
 * @param variant  #X_EBCDIC_LATIN or #X_EBCDIC_KATAKANA
 * @return 1; 2 when a character had no counterpart; 0 on failure.
 */
XAPI int32_t XConvEbcToAsc(void *dst, const void *src, int32_t count, int32_t variant);
/**
 * Converts EBCDIC to Unicode (a separate destination).
 *
 * @param dst      receives count units
 * @param src      count bytes of EBCDIC
 * @param count    1 or more
 * @param variant  #X_EBCDIC_LATIN or #X_EBCDIC_KATAKANA
 * @return 1; 2 when a character had no counterpart; 0 on failure.
 */
XAPI int32_t XConvEbcToUni(uint16_t *dst, const void *src, int32_t count, int32_t variant);
/**
 * Converts Unicode to ASCII.
 *
 * @param dst    receives count bytes
 * @param src    count units of Unicode
 * @param count  1 or more
 * @return 1; 2 when a character had no counterpart; 0 on failure.
 */
XAPI int32_t XConvUniToAsc(void *dst, const uint16_t *src, int32_t count);
/**
 * Converts Unicode to EBCDIC.
 *
 * @param dst      receives count bytes
 * @param src      count units of Unicode
 * @param count    1 or more
 * @param variant  #X_EBCDIC_LATIN or #X_EBCDIC_KATAKANA
 * @return 1; 2 when a character had no counterpart; 0 on failure.
 */
XAPI int32_t XConvUniToEbc(void *dst, const uint16_t *src, int32_t count, int32_t variant);

/**
 * A 16-bit value with its bytes exchanged (host to network order).
 *
 * @param value  the value
 * @return the value with its two bytes exchanged.
 */
XAPI uint16_t XChangeToNwkOrder16(uint16_t value);
/**
 * A 16-bit value with its bytes exchanged (network to host order).
 *
 * @param value  the value
 * @return the value with its two bytes exchanged.
 */
XAPI uint16_t XChangeToHostOrder16(uint16_t value);
/**
 * A 32-bit value with its bytes reversed (host to network order).
 *
 * @param value  the value
 * @return the value with its four bytes reversed.
 */
XAPI uint32_t XChangeToNwkOrder32(uint32_t value);
/**
 * A 32-bit value with its bytes reversed (network to host order).
 *
 * @param value  the value
 * @return the value with its four bytes reversed.
 */
XAPI uint32_t XChangeToHostOrder32(uint32_t value);
/**
 * A double whose eight bytes are those of the value, reversed (host to network).
 *
 * The bytes are moved as they are; no arithmetic is done on them.
 *
 * @param value  the value
 * @return the double with the reversed bytes.
 */
XAPI double XChangeToNwkOrderDOUBLE(double value);
/**
 * A double whose eight bytes are those of the value, reversed (network to host).
 *
 * @param value  the value
 * @return the double with the reversed bytes.
 */
XAPI double XChangeToHostOrderDOUBLE(double value);

/** @} */

/**
 * @defgroup kanji Kanji
 * @brief Japanese double-byte text: shift codes, and conversion between
 * Shift-JIS, EUC and the host forms.
 *
 * The library brings every form to one *shifted form*, in which each run of
 * double-byte characters is opened by 0x1E and closed by 0x1F. The shift
 * functions add and remove those codes; the conversions take and give
 * shifted text. Single bytes outside runs go through the code tables of the
 * conversion functions (for the EBCDIC forms, the variant that
 * #X_KANJI_KATAKANA selects). Nothing is zero-terminated.
 * @{
 */

/** Kanji code: Shift-JIS; a double-byte character begins with 0x81-0x9F or 0xE0-0xFC. */
#define X_KANJI_SJIS 0x10
/** Kanji code: EUC; a double-byte character begins with 0xA1-0xFE, 0x8E and a byte is a half-width katakana. */
#define X_KANJI_EUC 0x30
/** Kanji code: EBCDIC with shift-out 0x28, shift-in 0x29. */
#define X_KANJI_HOST_28 0x02
/** Kanji code: EBCDIC with shift-out 0x38, shift-in 0x29. */
#define X_KANJI_HOST_38 0x04
/** Kanji code: EBCDIC with shift-out 0x28 0x30 0xE2, shift-in 0x29. */
#define X_KANJI_HOST_28E2 0x08
/** Kanji code: EBCDIC with any of the shift-outs above; can be read, not written.
 * Its double-byte characters are JIS X 0208 with 0x80 added to both bytes. */
#define X_KANJI_HOST_MIXED 0x0D
/** Kanji code: EBCDIC with the IBM host double-byte code, shift-out 0x0E, shift-in 0x0F. */
#define X_KANJI_HOST_IBM 0x20
/** Kanji code: EBCDIC with shift-out 0x0A 0x42, shift-in 0x0A 0x41; JIS X 0208
 * with 0x80 added to both bytes. */
#define X_KANJI_HOST_0A 0x40
/** Added to an EBCDIC code: the single bytes use the katakana variant of the code table. */
#define X_KANJI_KATAKANA 0x80

/**
 * Turns native text into the shifted form.
 *
 * The result is as long as XCountKanjiShift() with direction 1 says. For
 * Shift-JIS and EUC each run gets 0x1E before it and 0x1F after it; for the
 * EBCDIC forms the shift-out and shift-in sequences become 0x1E and 0x1F.
 *
 * @param code    the native form (an `X_KANJI_...` code)
 * @param length  the source's length, 1 or more
 * @param src     the native text
 * @param dst     receives the shifted text
 * @return 1, or 0 on failure (reason 2: a double-byte character is cut off
 *         by the end of the text).
 */
XAPI int32_t XAddKanjiShift(uint8_t code, int32_t length, const void *src, void *dst);
/**
 * Turns shifted text back into the native form.
 *
 * @param code    the native form (not #X_KANJI_HOST_MIXED)
 * @param length  the source's length, 1 or more
 * @param src     the shifted text
 * @param dst     receives the native text
 * @return 1, or 0 on failure.
 */
XAPI int32_t XRemoveKanjiShift(uint8_t code, int32_t length, const void *src, void *dst);
/**
 * The length of the result of adding or removing shift codes.
 *
 * @param code       the native form
 * @param direction  1 for XAddKanjiShift(), 0 for XRemoveKanjiShift()
 * @param length     the source's length, 1 or more
 * @param src        the source text
 * @return the result's length in bytes, or 0 on failure.
 */
XAPI int32_t XCountKanjiShift(uint8_t code, int32_t direction, int32_t length, const void *src);
/**
 * XAddKanjiShift() into a destination of limited size.
 *
 * When the destination is full the function stops cleanly (an open run is
 * closed when the closing code still fits).
 *
 * @param code     the native form
 * @param length   the source's length, 1 or more
 * @param src      the native text
 * @param dstSize  the destination's size on entry (1 or more); the bytes written on return
 * @param dst      receives the shifted text
 * @return 2 when done; 1 when the destination was full; 0 on failure.
 */
XAPI int32_t XAddKanjiShiftEx(uint8_t code, int32_t length, const void *src, int32_t *dstSize,
                              void *dst);
/**
 * XRemoveKanjiShift() into a destination of limited size.
 *
 * An open run at the end of the source is closed with the shift-in sequence.
 *
 * @param code     the native form (not #X_KANJI_HOST_MIXED)
 * @param length   the source's length, 1 or more
 * @param src      the shifted text
 * @param dstSize  the destination's size on entry (1 or more); the bytes written on return
 * @param dst      receives the native text
 * @return 2 when done; 1 when the destination was full; 0 on failure.
 */
XAPI int32_t XRemoveKanjiShiftEx(uint8_t code, int32_t length, const void *src,
                                 int32_t *dstSize, void *dst);

/**
 * Converts shifted text in place between Shift-JIS and a host form.
 *
 * The pairs converted: Shift-JIS to and from #X_KANJI_HOST_IBM,
 * #X_KANJI_HOST_MIXED and #X_KANJI_HOST_0A (each with #X_KANJI_KATAKANA or
 * not). The length does not change. On failure the text is converted up to
 * the character that failed.
 *
 * @param from    the text's form
 * @param to      the form to convert to
 * @param text    the shifted text, converted in place
 * @param length  its length, 1 or more
 * @return 1, or 0 on failure (reason 2: this pair is not converted; reason 3:
 *         a character cannot be converted, detail the step).
 */
XAPI int32_t XConvertKanji(uint8_t from, uint8_t to, void *text, int32_t length);
/**
 * Converts shifted text into a destination, between any two of Shift-JIS,
 * EUC and the host forms #X_KANJI_HOST_IBM, #X_KANJI_HOST_MIXED and
 * #X_KANJI_HOST_0A (not host to host).
 *
 * A result longer than the destination is cut before a double-byte
 * character and closed with 0x1F.
 *
 * @param from     the source's form
 * @param to       the form to convert to
 * @param src      the shifted text
 * @param dst      receives the converted text
 * @param length   the source's length, 1 or more
 * @param dstSize  the destination's size on entry (1 or more); the full
 *                 converted length on return (more than the result when it was cut)
 * @return the bytes placed in dst, or 0 on failure (nothing written).
 */
XAPI int32_t XConvertKanjiEx(uint8_t from, uint8_t to, const void *src, void *dst, int32_t length,
                             int32_t *dstSize);

/**
 * Reads a hexadecimal number from text.
 *
 * Digits of either case; spaces are skipped wherever they stand; a zero byte
 * ends the digits. At most 8 digits. A text without digits gives 0 without
 * an error.
 *
 * @param text    the text
 * @param length  how many bytes to look at, 1 or more
 * @return the value, or 0 on failure (reason 2: another character, detail 2,
 *         or more than 8 digits, detail 1).
 */
XAPI uint32_t XAtox(const char *text, int32_t length);

/** @} */

/**
 * @defgroup time Dates and times
 * @brief The clock, date and time strings, date arithmetic, and the packed
 * decimal dates and times of the host systems.
 * @{
 */

/** A clock reading (8 bytes): the local date and time as day, minute and microseconds. */
typedef struct XClock {
    uint16_t day;         /**< days since 1970-01-01 (day 0), local date; up to 2149-06-06 */
    uint16_t minute;      /**< hour * 60 + minute, 0-1439 */
    uint32_t microsecond; /**< second * 1,000,000 + microseconds, 0-59,999,999 */
} XClock;

/** A broken-down date and time (16 bytes). */
typedef struct XCalendar {
    uint16_t year;        /**< 1-9999 */
    uint16_t month;       /**< 1-12 */
    uint16_t day;         /**< 1 to the length of the month */
    uint16_t hour;        /**< 0-23 */
    uint16_t minute;      /**< 0-59 */
    uint16_t second;      /**< 0-59 */
    uint32_t microsecond; /**< 0-999,999 */
} XCalendar;

/** Date layout `MMDDYYYY` (8 characters). */
#define X_DATE_MMDDYYYY 0
/** Date layout `MMsDDsYYYY`, s the separator (10 characters). */
#define X_DATE_MMsDDsYYYY 1
/** Date layout `MMDDYY` (6 characters). */
#define X_DATE_MMDDYY 2
/** Date layout `MMsDDsYY` (8 characters). */
#define X_DATE_MMsDDsYY 3
/** Date layout `YYYYMMDD` (8 characters). */
#define X_DATE_YYYYMMDD 4
/** Date layout `YYYYsMMsDD` (10 characters). */
#define X_DATE_YYYYsMMsDD 5
/** Date layout `YYMMDD` (6 characters). */
#define X_DATE_YYMMDD 6
/** Date layout `YYsMMsDD` (8 characters). */
#define X_DATE_YYsMMsDD 7

/**
 * Reads the clock: the current local date and time, to the millisecond.
 *
 * The local time follows `TZ` (read at every call), else `/etc/localtime`.
 *
 * @param out  receives the clock reading
 * @return 1, or 0 on failure.
 */
XAPI int32_t XGetTime(XClock *out);
/**
 * Expands a clock reading into a calendar record.
 *
 * A minute of exactly 1440 and microseconds of exactly 60,000,000 are
 * accepted (hour 24, second 60).
 *
 * @param in   the clock reading
 * @param out  receives the calendar record (unchanged on failure)
 * @return 1, or 0 on failure.
 */
XAPI int32_t XGetTimeDetail(const XClock *in, XCalendar *out);
/**
 * Builds a clock reading from a calendar record (the clock is not read).
 *
 * @param in   the calendar record; date and time are checked
 * @param out  receives the clock reading
 * @return 1, or 0 on failure (reason 2: the date, detail 1 year, 2 month, 3
 *         day; reason 3: the time, detail 1 hour to 4 microseconds).
 */
XAPI int32_t XGetTimeCurrent(const XCalendar *in, XClock *out);
/**
 * Writes a date as text.
 *
 * @param layout  an `X_DATE_...` layout, 0 to 7
 * @param in      the calendar record whose date to write
 * @param out     receives the text and a zero byte (7, 9 or 11 bytes)
 * @param ...     for the layouts with separators (1, 3, 5, 7): the separator
 *                character, passed as an `int`
 * @return 1, or 0 on failure (reason 2: no such date).
 */
XAPI int32_t XGetDateStr(int32_t layout, const XCalendar *in, char *out, ...);
/**
 * Writes a time as text: `HHsMMsSS`, or `HHMMSS` when the separator is the zero byte.
 *
 * @param in         the calendar record whose time to write
 * @param out        receives the text and a zero byte
 * @param separator  the separator, or `'\0'` for none
 * @return 1, or 0 on failure (reason 2: no such time).
 */
XAPI int32_t XGetTimeStr(const XCalendar *in, char *out, char separator);
/**
 * Whether a text holds a valid date in a layout.
 *
 * Two-digit years are 1970 to 2069; the separators are not looked at.
 *
 * @param layout  an `X_DATE_...` layout, 0 to 7
 * @param text    the text
 * @return 1 when valid; 0 otherwise (reason 3: not digits; reason 2: no such
 *         date, detail 1 year, 2 month, 3 day) or on failure.
 */
XAPI int32_t XCheckDate(int32_t layout, const char *text);
/**
 * Moves the date in a text by a number of days, in place, in the same layout
 * and with the same separator.
 *
 * The result must lie from 1970-01-02 to 2069-12-31. The text is unchanged
 * on failure.
 *
 * @param layout  an `X_DATE_...` layout, 0 to 7
 * @param text    the date; the layout's characters are overwritten
 * @param days    the days to add, negative to go back
 * @return 1, or 0 on failure (an invalid date: the codes of XCheckDate();
 *         reason 2: 1970-01-01 or earlier; reason 3: 2070 or later).
 */
XAPI int32_t XShiftDate(int32_t layout, char *text, int32_t days);
/**
 * Packs a date as 4 bytes of packed decimal: the year, the day of the year
 * and the sign `F` (6 September 2010 is `20 10 24 9F`).
 *
 * @param in   the calendar record whose date to pack
 * @param out  receives 4 bytes
 * @return 1, or 0 on failure (reason 2: no such date).
 */
XAPI int32_t XPackDate(const XCalendar *in, void *out);
/**
 * Unpacks a packed date (sign `C` or `F`) into year, month and day; the
 * other fields stay.
 *
 * @param out  receives the date
 * @param in   4 bytes of packed decimal
 * @return 1, or 0 on failure (reason 3: another sign; reason 2: no such day).
 */
XAPI int32_t XUnpackDate(XCalendar *out, const void *in);
/**
 * Packs a time as 4 bytes of packed decimal: hour, minute, second, hundredths.
 *
 * An hour of 24 to 99 is accepted.
 *
 * @param in   the calendar record whose time to pack
 * @param out  receives 4 bytes
 * @return 1, or 0 on failure (reason 2: no such time).
 */
XAPI int32_t XPackTime(const XCalendar *in, void *out);
/**
 * Unpacks a packed time into hour, minute, second and microseconds; the
 * other fields stay.
 *
 * @param out  receives the time
 * @param in   4 bytes of packed decimal
 * @return 1, or 0 on failure (reason 2: a byte above its limit).
 */
XAPI int32_t XUnpackTime(XCalendar *out, const void *in);

/** @} */

/**
 * @defgroup sysinfo System description and information
 * @brief The platform, operating system, processor, code sets and names of
 * the machine, from the system and from the system description file, and
 * unique keys.
 * @{
 */

/** Platform code of mainframes (see also #X_PLATFORM_UNIX, #X_PLATFORM_WINDOWS). */
#define X_PLATFORM_MAINFRAME 100
/** Platform code of AS/400. */
#define X_PLATFORM_AS400 400
/** Byte order: most significant byte first. */
#define X_BYTEORDER_BIG 1
/** Byte order: least significant byte first. */
#define X_BYTEORDER_LITTLE 2

/** The system-information record (444 bytes). */
typedef struct XSystemInfo {
    uint32_t platform;      /**< platform code (`X_PLATFORM_...`) */
    uint32_t os_name;       /**< operating-system code (`X_OS_...`) */
    uint32_t os_major;      /**< the operating system's major version */
    uint32_t os_minor;      /**< its minor version */
    uint32_t os_level;      /**< its build or level number */
    uint32_t reserved1;     /**< always 0 */
    uint32_t cpu_name;      /**< the processor's type number (8664 for x86_64) */
    uint32_t cpu_count;     /**< the number of processors */
    uint16_t sbcs;          /**< single-byte code set: 16 EBCDIC, 32 ASCIIZ, 80 EBCDICK, 96 EBCDICA */
    uint16_t mbcs;          /**< multi-byte code set: 145 IKANJI, 146 FKANJI, 147 HKANJI,
                                 164 JIS, 165 SJIS, 176 UNICODE, 192 EUC */
    uint16_t word_size;     /**< bits in a machine word */
    uint16_t byte_order;    /**< #X_BYTEORDER_BIG or #X_BYTEORDER_LITTLE */
    uint32_t x_resolution;  /**< screen width in pixels (0 without a frame buffer) */
    uint32_t y_resolution;  /**< screen height in pixels */
    uint32_t colors;        /**< number of colours minus 1 */
    char machine[34];       /**< machine name, zero-terminated */
    char location[10];      /**< location name */
    char user_id[34];       /**< user id */
    char jes[6];            /**< JES name */
    char job[258];          /**< job name */
    char step[10];          /**< step name */
    char reserved2[40];     /**< always 0 */
} XSystemInfo;

/**
 * Reads the system description file `XSYSTEM` into a record.
 *
 * The file is looked for in `$ZAXXLIB_XSYSTEM`, else in the current
 * directory. The record is not cleared: fields that the file lacks stay;
 * reading stops at the first bad entry, and the fields read before it keep
 * their new values.
 *
 * @param record  the record to fill
 * @return 1, or 0 on failure (a missing file: XOpenFile() reason 6;
 *         reason 2: a coded value not in its table; reason 3: a text too long).
 */
XAPI int32_t XGetSystemInfoFile(XSystemInfo *record);

/**
 * Fills a record (cleared first) from the operating system.
 *
 * The job name is the command line when the process has a controlling
 * terminal; without one, the job, machine and user names stay empty and the
 * result is 0 (reason 2).
 *
 * @param record  the record to fill
 * @return 1 when every query succeeded, else 0 (the fields of the queries
 *         that succeeded stay filled).
 */
XAPI int32_t XGetSystemInfoFunc(XSystemInfo *record);
/**
 * Fills a record from the operating system, then from the system description
 * file when one exists, whose entries win.
 *
 * @param record  the record to fill
 * @return the result of XGetSystemInfoFile() when the file exists, else that
 *         of XGetSystemInfoFunc().
 */
XAPI int32_t XGetSystemInfo(XSystemInfo *record);
/**
 * Makes an 8-byte key greater than the last one this process made: the
 * packed date and the packed time (to the hundredth of a second) of now.
 *
 * A process that asks faster than once a hundredth sleeps 10 ms per key.
 * Keys of different processes are not coordinated.
 *
 * @param key  receives 8 bytes
 * @return 1, or 0 on failure.
 */
XAPI int32_t XGetUniqueKey(void *key);

/** @} */

/**
 * @defgroup tasks Processes and threads
 * @brief Starting programs and module threads, and collecting or killing them.
 *
 * Each start returns a record that the matching end or kill call takes and
 * frees. A start may be given the address of an event variable: while the
 * process or thread runs it holds the process's or thread's handle, which
 * XWaitEvent() can wait for and which is signalled when it has ended; the
 * end and kill calls put the variable's old value back (and the kill calls
 * post it). A job process leads a process group of its own, so that killing
 * it ends everything it started; job support is switched on by XInitXlib().
 * @{
 */

/** The function "osmain" that a thread's module exports: it receives the two
 * arguments of XCreateThread() and its result is the thread's exit code. */
typedef uint32_t (*XThreadMain)(uint32_t arg1, uint32_t arg2);

/**
 * Starts a program, without a shell.
 *
 * The program is searched for in `PATH` when its name has no `/`; it
 * receives its arguments exactly as given and inherits the environment, the
 * working directory and only the standard descriptors 0, 1 and 2. The
 * arguments, joined with single spaces after the program, must fit in 260
 * characters.
 *
 * @param record_out  receives the process record
 * @param program     the program, 1 to 255 characters
 * @param event_var   an event variable that holds the process's handle while
 *                    it runs, or `NULL`
 * @param argc        the number of arguments; 0 or less for none
 * @param argv        the arguments
 * @return 1, or 0 on failure (reason 2: the program cannot be started, with
 *         the exec's `errno`; reason 4: the command line is too long).
 */
XAPI int32_t XCreateProcess(XHANDLE *record_out, const char *program, XHANDLE *event_var,
                            int32_t argc, const char *const *argv);
/**
 * Collects a process that has ended and frees its record.
 *
 * @param record    the process record
 * @param reserved  not used
 * @return 1, or 0 on failure (reason 4: it still runs; the record stays valid).
 */
XAPI int32_t XTermProcess(XHANDLE record, uint32_t reserved);
/**
 * Ends a process if it still runs (`SIGKILL`), collects it and frees its record.
 *
 * @param record  the process record
 * @return 1, or 0 on failure.
 */
XAPI int32_t XKillProcess(XHANDLE record);
/**
 * Runs the function "osmain" of a module on a new thread.
 *
 * The module is loaded as XLoadModule() loads it; the thread calls
 * osmain(arg1, arg2) and ends with its result as exit code.
 *
 * @param record_out  receives the thread record
 * @param module      the module, 1 to 255 characters
 * @param event_var   an event variable that holds the thread's handle while
 *                    it runs, or `NULL`
 * @param arg1        osmain's first argument
 * @param arg2        osmain's second argument
 * @return 1, or 0 on failure (reason 3: the module has no "osmain").
 */
XAPI int32_t XCreateThread(XHANDLE *record_out, const char *module, XHANDLE *event_var,
                           uint32_t arg1, uint32_t arg2);
/**
 * Collects a thread that has ended, unloads its module and frees its record.
 *
 * @param record  the thread record
 * @return 1, or 0 on failure (reason 4: it still runs; the record stays valid).
 */
XAPI int32_t XTermThread(XHANDLE record);
/**
 * Ends a thread if it still runs, unloads its module and frees its record.
 *
 * The thread ends when the library's signal reaches it: nothing on its stack
 * is unwound, and whatever it holds (locks of the program, of the allocator,
 * of stdio) stays held. Kill only a thread known to be in code of its own.
 *
 * @param record  the thread record
 * @return 1, or 0 on failure.
 */
XAPI int32_t XKillThread(XHANDLE record);
/**
 * As XKillThread(), waiting (up to about 180 s) for the thread to have ended.
 *
 * @param record  the thread record
 * @return 1, or 0 on failure (with the codes of XKillThread(), reasons 17 to 20).
 */
XAPI int32_t XKillThreadSync(XHANDLE record);
/**
 * Starts a program as a job process: the leader of a process group of its
 * own, which its children join.
 *
 * Without job support (before XInitXlib()) this is XCreateProcess().
 *
 * @param record_out  receives the job process record
 * @param program     the program, 1 to 255 characters
 * @param reserved    not used
 * @param event_var   an event variable that holds the process's handle while
 *                    it runs, or `NULL`
 * @param argc        the number of arguments; 0 or less for none
 * @param argv        the arguments
 * @return 1, or 0 on failure.
 */
XAPI int32_t XCreateJobProcess(XHANDLE *record_out, const char *program, uint32_t reserved,
                               XHANDLE *event_var, int32_t argc, const char *const *argv);
/**
 * Collects a job process that has ended and frees its record; the other
 * members of its group run on.
 *
 * @param record    the job process record
 * @param reserved  not used
 * @return 1, or 0 on failure (reason 3: it still runs).
 */
XAPI int32_t XTermJobProcess(XHANDLE record, uint32_t reserved);
/**
 * Ends every process of a job (`SIGKILL` to the group), collects the job
 * process and frees its record.
 *
 * @param record  the job process record
 * @return 1, or 0 on failure.
 */
XAPI int32_t XKillJobProcess(XHANDLE record);

/** @} */

/**
 * @defgroup modules Modules and message catalogs
 * @brief Code loaded at run time, its entries, and numbered message templates.
 *
 * Message catalogs are X/Open catalogs built with `gencat`; template n is
 * message n of set 1. A template's placeholders all have a precision
 * (`%.8s`, `%5.3d`; conversions d, s, c, x in either case) so that its
 * length can be checked before it is formatted: a message never exceeds 124
 * bytes.
 * @{
 */

/**
 * Loads a code module (`dlopen`; the loader's search rules apply).
 *
 * @param handle  receives the module's handle
 * @param name    the module's name or path, 1 to 255 characters
 * @return 1, or 0 on failure.
 */
XAPI int32_t XLoadModule(XHANDLE *handle, const char *name);
/**
 * Releases a module of XLoadModule() or a catalog of XLoadMsgString().
 *
 * @param module  the handle
 * @return 1, or 0 on failure.
 */
XAPI int32_t XUnloadModule(XHANDLE module);
/**
 * The address of a module's exported entry.
 *
 * @param module  the module's handle
 * @param name    the entry's name
 * @return the address, or `NULL` on failure (reason 2, `ENOENT`: no such entry).
 */
XAPI void *XGetEntry(XHANDLE module, const char *name);
/**
 * Opens a message catalog.
 *
 * @param name  a path, or a name that `NLSPATH` resolves for the current
 *              locale; 1 to 255 characters
 * @return the catalog's handle, or `NULL` on failure.
 */
XAPI XHANDLE XLoadMsgString(const char *name);
/**
 * Releases a message catalog.
 *
 * @param module  the catalog's handle
 * @return 1, or 0 on failure (with the codes of XUnloadModule()).
 */
XAPI int32_t XUnloadMsgString(XHANDLE module);
/**
 * Formats a numbered message template with values.
 *
 * The template is checked first: every placeholder needs a precision, and
 * the longest possible message must fit in 124 bytes.
 *
 * @param module  the catalog's handle
 * @param number  the template's number, 1 or more
 * @param buffer  receives the message, not zero-terminated (1 to 124 bytes)
 * @param ...     the template's values
 * @return buffer, or `NULL` on failure (reason 2: no such template; 3: a
 *         faulty placeholder, detail its position; 4: the template may give
 *         more than 124 bytes; 5: the message is empty or too long).
 */
XAPI char *XGetMsgString(XHANDLE module, int32_t number, char *buffer, ...);
/**
 * As XGetMsgString(), with two 16-bit values that are set to 0.
 *
 * @param module  the catalog's handle
 * @param number  the template's number, 1 or more
 * @param first   set to 0
 * @param second  set to 0
 * @param buffer  receives the message, not zero-terminated
 * @param ...     the template's values
 * @return buffer, or `NULL` on failure.
 */
XAPI char *XGetMsgStringEx(XHANDLE module, int32_t number, uint16_t *first, uint16_t *second,
                           char *buffer, ...);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* ZAXXLIB_H */

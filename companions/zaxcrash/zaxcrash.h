/*
 * zaxcrash.h - the interface of the crash handler companion libzaxcrash.so.
 *
 * zaxxlib calls the companion's ZaxCrashHandler once for each fault that it
 * handles (a fatal signal or XAbend), after the thread's exit routines and
 * the previously installed signal handler, on the failing thread and inside
 * the signal handler: the companion may only do async-signal-safe work.
 * zaxxlib relies on nothing but its return.
 */
#ifndef ZAXCRASH_H
#define ZAXCRASH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The fault, as zaxxlib passes it. */
typedef struct ZaxCrashInfo {
    uint32_t size;   /* sizeof(ZaxCrashInfo), for later growth */
    uint32_t code;   /* the exception code: XAbend's code, or 128 + signal */
    int32_t signo;   /* the signal; SIGABRT for XAbend */
    int32_t abend;   /* 1 when XAbend raised it, else 0 */
    uint32_t tid;    /* kernel identifier of the failing thread */
    uint32_t pad;    /* zero */
    void *siginfo;   /* the signal's siginfo_t (a made-up one for XAbend) */
    void *ucontext;  /* the signal's ucontext_t, or NULL for XAbend */
} ZaxCrashInfo;

/* The entry that zaxxlib looks up by name. */
typedef void (*ZaxCrashHandlerFn)(const ZaxCrashInfo *info);
void ZaxCrashHandler(const ZaxCrashInfo *info);

#ifdef __cplusplus
}
#endif

#endif /* ZAXCRASH_H */

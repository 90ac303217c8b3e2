/* Exit routines and abnormal end: a worker thread ends itself with XAbend. */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#include "demo.h"
#include "zaxxlib.h"

static int32_t release_routine(uint32_t reason, uint32_t parameter) {
    printf("  exit routine: reason %u, parameter %u\n", reason, parameter);
    fflush(stdout);
    return 0;
}

static void *worker(void *arg) {
    XEstaeBlock block = {0, 0, release_routine};
    (void)arg;
    XInitEstae(&block, 42);
    printf("  worker: XAbend(5) (the crash handler reports on standard error)\n");
    fflush(stdout);
    XAbend(5);
    return NULL; /* not reached */
}

void demo_estae(void) {
    XEstaeBlock block = {0, 0, release_routine};
    XEstaeBlock none = {0, 0, NULL};
    pthread_t thread;
    void *result = NULL;
    printf("Exit routines and abnormal end\n");
    if (pthread_create(&thread, NULL, worker, NULL) != 0) return;
    pthread_join(thread, &result);
    printf("  worker ended with exit code %lu; the process goes on\n",
           (unsigned long)(uintptr_t)result);
    XInitEstae(&none, 1);
    show_error("XInitEstae without a routine");
    XTermEstae(&block);
    show_error("XTermEstae, never registered");
}

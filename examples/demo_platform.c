/* Platform services: system information, processes, unique keys, modules and
 * message catalogs. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

static void system_info(void) {
    XSystemInfo info;
    char why[512] = "";
    int32_t ok = XGetSystemInfoFunc(&info);
    /* Without a controlling terminal (a service, a test) there is no job
     * name, and the queries after it are not made: the result is 0. */
    if (!ok) error_text(why, sizeof why);
    printf("System information\n");
    printf("  XGetSystemInfoFunc = %d%s%s\n", ok, ok ? "" : ": ", why);
    printf("  platform %u, OS %u %u.%u.%u, CPU %u x%u\n", info.platform, info.os_name,
           info.os_major, info.os_minor, info.os_level, info.cpu_name, info.cpu_count);
    printf("  codes %u/%u, word %u bits, byte order %u, screen %ux%u\n", info.sbcs, info.mbcs,
           info.word_size, info.byte_order, info.x_resolution, info.y_resolution);
    printf("  machine \"%s\", user \"%s\", location \"%s\"\n", info.machine, info.user_id,
           info.location);
}

static void modules(void) {
    XHANDLE m = NULL;
    printf("Modules\n");
    if (XLoadModule(&m, "libm.so.6")) {
        double (*root)(double) = (double (*)(double))(size_t)XGetEntry(m, "sqrt");
        if (root != NULL) printf("  sqrt from libm.so.6: sqrt(2) = %.6f\n", root(2.0));
        XGetEntry(m, "no_such_function");
        show_error("XGetEntry of a missing entry");
        XUnloadModule(m);
    }
    XLoadModule(&m, "/nonexistent/module.so");
    show_error("XLoadModule of a missing module");
}

static void messages(void) {
    const char *dir = getenv("ZAXXLIB_RUNDIR");
    char source[512], catalog[512], command[1200], text[125];
    XHANDLE cat;
    FILE *f;
    printf("Message catalogs\n");
    snprintf(source, sizeof source, "%s/zaxdemo.msg", dir != NULL ? dir : "/tmp");
    snprintf(catalog, sizeof catalog, "%s/zaxdemo.cat", dir != NULL ? dir : "/tmp");
    f = fopen(source, "w");
    if (f == NULL) return;
    fputs("$set 1\n1 File %.8s not found\n2 Code %d\n3 %#.8x is 100%% done\n", f);
    fclose(f);
    remove(catalog);
    snprintf(command, sizeof command, "gencat '%s' '%s'", catalog, source);
    if (system(command) != 0) {
        printf("  (gencat is not available)\n");
        return;
    }
    cat = XLoadMsgString(catalog);
    if (cat == NULL) {
        show_error("XLoadMsgString");
        return;
    }
    memset(text, 0, sizeof text);
    if (XGetMsgString(cat, 1, text, "ABCDEFGHIJ")) printf("  message 1: \"%s\"\n", text);
    memset(text, 0, sizeof text);
    if (XGetMsgString(cat, 3, text, 0xBEEFu)) printf("  message 3: \"%s\"\n", text);
    XGetMsgString(cat, 2, text, 42);
    show_error("message 2 (\"Code %d\")");
    XGetMsgString(cat, 9, text);
    show_error("message 9 (missing)");
    XUnloadMsgString(cat);
    remove(catalog);
    remove(source);
}

static void processes(void) {
    XHANDLE ev = NULL, rec = NULL;
    const char *args[] = {"0.2"};
    unsigned char key[8];
    int i;
    printf("Processes and unique keys\n");
    if (XCreateProcess(&rec, "sleep", &ev, 1, args)) {
        printf("  started \"sleep 0.2\"; XTermProcess while it runs = %d\n", XTermProcess(rec, 0));
        show_error("XTermProcess on a running process");
        int32_t waited = XWaitEvent(&ev, 1, 5000);
        printf("  XWaitEvent on its handle = %d; XTermProcess = %d\n", waited, XTermProcess(rec, 0));
    }
    XCreateProcess(&rec, "/nonexistent/program", NULL, 0, NULL);
    show_error("XCreateProcess of a missing program");
    if (XCreateJobProcess(&rec, "sleep", 0, NULL, 1, args))
        printf("  job process started and killed: %d\n", XKillJobProcess(rec));
    XCreateThread(&rec, "libm.so.6", NULL, 1, 2);
    show_error("XCreateThread of a module without osmain");
    for (i = 0; i < 2; ++i) {
        if (XGetUniqueKey(key))
            printf("  unique key %02X%02X%02X%02X %02X%02X%02X%02X\n", key[0], key[1], key[2], key[3],
                   key[4], key[5], key[6], key[7]);
    }
}

void demo_platform(void) {
    system_info();
    processes();
    modules();
    messages();
}

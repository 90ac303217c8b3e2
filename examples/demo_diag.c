/* Diagnostics: console messages, trace lines and a storage dump. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "demo.h"
#include "zaxxlib.h"

static void print_file(const char *path) {
    char line[300];
    FILE *f = fopen(path, "r");
    if (f == NULL) return;
    while (fgets(line, sizeof line, f) != NULL) printf("    | %s", line);
    fclose(f);
}

static void console(void) {
    const char *lines[2] = {"first line of the message", "second line"};
    printf("Console and log messages\n");
    fflush(stdout);
    XPrintf("  XPrintf: %ld apples, %s", 5L, "cut after 124 characters");
    XWto("  XWto skips three routing values: %s", 1, 2, 3, "shown");
    XWtoMulti("  OPERATOR TITLE", lines, 2);
    XFprintf(1, "  XFprintf to target 1 (standard output)");
    XWtoMulti(NULL, lines, 10);
    show_error("XWtoMulti with 10 lines");
}

static void tracing(const char *dir) {
    char settings[300], trace[300];
    FILE *f;
    XHANDLE rec;
    uint32_t level = 0;
    const char block[] = "zaxxlib dump\x01\x02\xB1";

    printf("Trace and dump\n");
    snprintf(settings, sizeof settings, "%s/XTORASYS", dir);
    snprintf(trace, sizeof trace, "%s/demo.trc", dir);
    f = fopen(settings, "w");
    if (f == NULL) return;
    fputs("XTORASYS :\nTRACE = 4\nDUMP = 2\nBINDINGS = FIRST\n"
          "FIRST :\nID = DEMO\nTRACE = 2\nDUMP = 1\nBINDINGS = NONE\n", f);
    fclose(f);
    XWriteEnvStr("ZAXXLIB", "XSYSTEM", NULL, dir, (int32_t)strlen(dir));

    rec = XInitDebug(trace, 0);
    if (rec == NULL) {
        show_error("XInitDebug");
        return;
    }
    XGetTraceLevel(rec, "DEMO", &level);
    printf("  binding DEMO has trace level %u\n", level);
    XTraceH(rec, "DEMO", "a high line: %d", 1);
    XTraceL(rec, "DEMO", "a low line, filtered out by level 2");
    XTraceL(rec, "XP_ADMINISTRATOR", "the administrator is always written");
    XDump(rec, "DEMO", "a dump of 15 bytes", block, 15);
    XSetTraceLevel(rec, "DEMO", 5);
    show_error("XSetTraceLevel with mask 5");
    printf("  the trace file:\n");
    print_file(trace);
    XTermDebug(rec);
    remove(trace);
    remove(settings);
    XWriteEnvStr("ZAXXLIB", "XSYSTEM", NULL, ".", 1);
}

void demo_diag(void) {
    char dir[] = "/tmp/zaxdemo.XXXXXX";
    console();
    if (mkdtemp(dir) == NULL) return;
    tracing(dir);
    rmdir(dir);
}

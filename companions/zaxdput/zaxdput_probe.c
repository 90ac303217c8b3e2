/*
 * A debug console for the tests.  Each line is appended to the file named by
 * ZAXDPUT_PROBE_FILE as "<n>|<line>" and a line feed, where n counts the
 * lines that this record's area has seen (kept in the area itself, which the
 * library must hand over unchanged).  Returns ZAXDPUT_PROBE_RESULT (default 1).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zaxdput.h"

int32_t XPutDebugConsole(void *area, const char *line) {
    int32_t count;
    memcpy(&count, area, sizeof count);
    ++count;
    memcpy(area, &count, sizeof count);
    const char *path = getenv("ZAXDPUT_PROBE_FILE");
    if (path != NULL) {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return 0;
        char buf[300];
        int n = snprintf(buf, sizeof buf, "%d|%s\n", (int)count, line);
        ssize_t w = write(fd, buf, (size_t)n);
        close(fd);
        if (w != n) return 0;
    }
    const char *result = getenv("ZAXDPUT_PROBE_RESULT");
    return result != NULL ? (int32_t)atoi(result) : 1;
}

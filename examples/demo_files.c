/* Files, line reading, memory-mapped files, parameter files and the system
 * description file. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_files(void) {
    XProcInfo proc;
    char dir[64], name[32], file[96], line[64], value[80], key[16];
    const char *text = "first line\r\nsecond\fthird\n";
    XFILE f;
    XHANDLE h, map;
    int32_t n, ks, vs, i;
    char *view;
    XSystemInfo info;

    printf("Files and parameter files\n");
    XGetProcInfo(&proc);
    strcpy(dir, "/tmp");
    sprintf(name, "zaxdemo_%s.ini", proc.pid_text);
    sprintf(file, "%s/%s", dir, name);

    f = XOpenFile(file, 0, X_OPEN_CREATE | X_OPEN_READWRITE | X_OPEN_LOCK);
    printf("  XOpenFile(create, read-write, lock) = handle %d\n", f);
    XWriteFileLn(f, text, (int32_t)strlen(text));
    XSeekFile(f, 0, X_SEEK_SET);
    while ((n = XReadFileLn(f, line, sizeof line)) > 0)
        printf("  XReadFileLn: %d bytes \"%.*s\"\n", n, (int)strcspn(line, "\r\n\f"), line);
    show_error("after the last line");
    printf("  XGetFileSize = %d, XExistFile(\"/tmp/zaxdemo_*\") = %d\n", XGetFileSize(f),
           XExistFile("/tmp/zaxdemo_*"));
    XOpenFile(file, 0, X_OPEN_READWRITE | X_OPEN_LOCK_NOWAIT);
    show_error("a second locking open");
    XSeekFile(f, 1, X_SEEK_END);
    show_error("seek one byte past the end");
    XCloseFile(f);

    view = (char *)XOpenMemMapFile(&map, file, X_MAP_READWRITE, X_MAP_EXCLUSIVE);
    if (view != NULL) {
        view[0] = 'F';
        printf("  mapped view starts \"%.5s\"\n", view);
        XOpenMemMapFile(&h, file, X_MAP_READ, X_MAP_EXCLUSIVE);
        show_error("a second exclusive mapping");
        XCloseMemMapFile(map);
    }
    XOpenFile(file, 0, X_OPEN_TRUNCATE | X_OPEN_READ);
    show_error("XOpenFile(truncate, read)");

    /* A parameter file: write, close (the rewrite), read back, list. */
    XDeleteFile(file);
    h = XOpenParmFileRW(dir, name);
    XWriteParmStr(h, "DEMO", "GREETING", "\"hello, world\"", 100);
    XWriteParmInt(h, "DEMO", "COUNT", -5);
    XWriteParmStr(h, "DEMO", "LONG",
                  "a-value-long-enough-to-need-continuation-lines-because-it-is-over-seventy", 100);
    XCloseParmFile(h);
    h = XOpenParmFile(dir, name);
    for (i = 0;; ++i) {
        ks = sizeof key;
        vs = sizeof value;
        if (XListParmEntry(h, i, "DEMO", key, &ks, value, &vs) < -3) break;
        printf("  entry %d: %.*s = %.*s\n", i, (int)ks, key, (int)vs, value);
    }
    XReadParmInt(h, "DEMO", "GREETING", &n);
    show_error("XReadParmInt of a text");
    XReadParmStr(h, "NONE", "KEY", value, sizeof value);
    show_error("a section that is not there");
    XCloseParmFile(h);
    XDeleteFile(file);

    memset(&info, 0, sizeof info);
    if (XGetSystemInfoFile(&info))
        printf("  XSYSTEM: platform %u, OS %u\n", info.platform, info.os_name);
    else
        show_error("XGetSystemInfoFile");
}

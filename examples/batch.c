/*
 * batch: a batch job that reads its settings from a parameter file, converts
 * fixed-length EBCDIC records to ASCII and traces its progress.
 *
 *   batch [PARMFILE]    default: batch.parm in the current directory
 *
 * The parameter file names the input file (relative to the parameter file's
 * own directory), the record length, the EBCDIC table variant, the trace file
 * and a title.  Trace levels come from the library settings file "XTORASYS"
 * in the directory that $ZAXXLIB_XSYSTEM names (else the current directory).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zaxxlib.h"

#define MAX_RECLEN 256

static int fail(const char *what) {
    XErrorInfo e;
    XGetLastError(&e);
    printf("%s failed: code 0x%X, detail %u, kind %u\n", what, e.code, e.detail, e.kind);
    return 1;
}

/* Read a string entry of section BATCH, zero-terminated. */
static int read_str(XHANDLE parm, const char *key, char *out, int32_t size) {
    int32_t len = XReadParmStr(parm, "BATCH", key, out, size - 1);
    if (len == 0 || len >= size) return 0;
    out[len] = '\0';
    return 1;
}

/* Print the trace file: one line per XReadFileLn call. */
static void show_trace(const char *name) {
    char line[300];
    int32_t n;
    XFILE f = XOpenFile(name, 0, X_OPEN_READ);
    if (f == 0) {
        fail("XOpenFile of the trace file");
        return;
    }
    printf("trace file %s:\n", name);
    while ((n = XReadFileLn(f, line, sizeof line - 1)) > 0) {
        line[n] = '\0';
        printf("  %s", line);
    }
    XCloseFile(f);
}

int main(int argc, char **argv) {
    const char *parm_path = argc > 1 ? argv[1] : "batch.parm";
    char dir[512], input_name[256], input[800], title[128], trace[256], note[128];
    const char *slash, *parm_name;
    unsigned char raw[MAX_RECLEN];
    char text[MAX_RECLEN + 1];
    int32_t reclen, variant, got, records = 0, replaced = 0, result;
    long cents, total = 0;
    XHANDLE parm, dbg;
    XFILE in;

    /* The parameter file: XOpenParmFile takes a directory and a name. */
    slash = strrchr(parm_path, '/');
    parm_name = slash != NULL ? slash + 1 : parm_path;
    if (slash != NULL)
        snprintf(dir, sizeof dir, "%.*s", (int)(slash - parm_path), parm_path);
    else
        strcpy(dir, ".");
    parm = XOpenParmFile(dir, parm_name);
    if (parm == X_FAILED_PTR) return fail("XOpenParmFile");
    if (!read_str(parm, "TITLE", title, sizeof title) ||
        !read_str(parm, "INPUT", input_name, sizeof input_name) ||
        !read_str(parm, "TRACE", trace, sizeof trace) ||
        !XReadParmInt(parm, "BATCH", "RECLEN", &reclen) ||
        !XReadParmInt(parm, "BATCH", "VARIANT", &variant))
        return fail("reading batch.parm");
    if (!read_str(parm, "NOTE", note, sizeof note)) strcpy(note, "(none)");
    XCloseParmFile(parm);
    if (reclen < 1 || reclen > MAX_RECLEN) {
        printf("RECLEN must be 1 to %d\n", MAX_RECLEN);
        return 1;
    }
    snprintf(input, sizeof input, "%s/%s", dir, input_name);

    /* The debug record: lines of binding "BATCH" go to the trace file when
     * the levels of XTORASYS let them through. */
    dbg = XInitDebug(trace, 0);
    if (dbg == NULL) return fail("XInitDebug");
    XTraceH(dbg, "BATCH", "batch started: %s", title);
    XTraceL(dbg, "BATCH", "note: %s", note);

    in = XOpenFile(input, 0, X_OPEN_READ);
    if (in == 0) return fail("XOpenFile of the input");
    printf("%s: records of %d bytes, EBCDIC variant %d\n", title, reclen, variant);
    while ((got = XReadFile(in, raw, (uint32_t)reclen)) == reclen) {
        ++records;
        if (records == 1) XDump(dbg, "BATCH", "first record as read", raw, reclen);
        /* Result 2: some character had no ASCII counterpart and became ".". */
        result = XConvEbcToAsc(text, raw, reclen, variant);
        if (result == 0) return fail("XConvEbcToAsc");
        text[reclen] = '\0';
        cents = strtol(text + 22, NULL, 10);
        total += cents;
        printf("  %.6s %.16s %8ld.%02ld%s\n", text, text + 6, cents / 100, cents % 100,
               result == 2 ? "  (a character without counterpart)" : "");
        if (result == 2) ++replaced;
        XTraceM(dbg, "BATCH", "record %d: order %.6s converted", records, text);
    }
    if (got < 0) return fail("XReadFile");
    XCloseFile(in);
    printf("total %ld.%02ld in %d records\n", total / 100, total % 100, records);
    XTraceH(dbg, "BATCH", "batch ended: %d records, %d with replacements", records, replaced);
    XTermDebug(dbg);
    show_trace(trace);
    return 0;
}

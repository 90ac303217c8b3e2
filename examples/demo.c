/*
 * zaxdemo: a tour of zaxxlib from a plain C program.  Each section shows one
 * family of functions at work, then a call that the library refuses and what
 * the refusal leaves in the error record, in words.
 *
 *   zaxdemo          the tour (the initiator service must serve the run-time
 *                    directory for the shared-memory and list sections)
 *   zaxdemo child    the other side of the two-process exchange
 */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

static void identity(void) {
    XOsInfo os;
    XProcInfo proc;
    XThreadInfo thr;
    int32_t platform = XGetOsInfo(&os);
    printf("Identity\n");
    printf("  platform %d, OS name %u, version %u.%u.%u\n", platform, os.os_name, os.major,
           os.minor, os.build);
    XGetProcInfo(&proc);
    XGetThreadInfo(&thr);
    printf("  process %u (text %s), thread %u, server %d\n", proc.pid, proc.pid_text, thr.tid,
           X_IsServer());
    printf("  XMakeKey(2, \"00\", 1, 3) = 0x%08X\n", XMakeKey(2, "00", 1, 3));
    XMakeKey(5, "00", 1, 3);
    show_error("XMakeKey with kind 5");
}

static void memory_and_strings(void) {
    uint32_t values[3] = {12, 18, 30};
    char *block;
    printf("Memory, buffers, strings, arithmetic\n");
    block = (char *)XAllocMemory(32, 0);
    if (block != X_FAILED_PTR) {
        XCopyBuf(block, "zaxx", 4);
        XConcatStr(block, "lib");
        printf("  block holds \"%s\", length %d\n", block, XGetStrLen(block, 0, -1));
        XFreeMemory(block);
    }
    XAllocMemory(0, 0);
    show_error("XAllocMemory(0)");
    printf("  XCompStr(\"abc;x\", \"abc;y\", ';') = %d\n", XCompStr("abc;x", "abc;y", ';', -1));
    printf("  XTestMask(\"123\", digits) = %d\n", XTestMask("123", 3, "0123456789"));
    XTestMask("12a", 3, "0123456789");
    show_error("XTestMask(\"12a\", digits)");
    printf("  XCalcGCD(12, 18, 30) = %u, XCalcPrimeNum(100) = %u\n", XCalcGCD(values, 3),
           XCalcPrimeNum(100));
}

static void environment(void) {
    char value[257];
    int32_t number = 0, len;
    printf("Environment\n");
    XWriteEnvInt("ZAXDEMO", "EVENT", "NUMBER", 128);
    XReadEnvInt("ZAXDEMO", "EVENT", "NUMBER", &number);
    printf("  ZAXDEMO_EVENT_NUMBER = %d\n", number);
    XWriteEnvStr("ZAXDEMO", "GREETING", NULL, "hello, world", 12);
    memset(value, 0, sizeof value);
    len = XReadEnvStr("ZAXDEMO", "GREETING", NULL, value, 5);
    printf("  first 5 of %d characters of ZAXDEMO_GREETING: \"%s\"\n", len, value);
    XReadEnvStr("ZAXDEMO", NULL, "ITEM", value, 5);
    show_error("an item without a name");
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "child") == 0) return demo_exchange_child();
    printf("zaxxlib %s demonstration\n\n", ZAXXLIB_VERSION_STRING);
    identity();
    memory_and_strings();
    environment();
    demo_files();
    demo_registry();
    demo_events();
    demo_data();
    demo_time();
    demo_diag();
    demo_timers();
    demo_shared();
    demo_exchange(argv[0]);
    demo_lists();
    demo_estae();
    demo_platform();
    return 0;
}

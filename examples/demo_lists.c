/* Local and global lists, and saving a list to a file and loading it back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

static void print_list(const char *title, XHANDLE list, int global) {
    int32_t n = global ? XGetGlobalListNum(list) : XGetListNum(list), i;
    printf("  %s (%d):", title, n);
    for (i = 1; i <= n; ++i) {
        char buf[32];
        int32_t size = global ? XPeekGlobalList(list, buf, sizeof buf - 1, i)
                              : XPeekList(list, buf, sizeof buf - 1, i);
        buf[size < (int32_t)sizeof buf ? size : (int32_t)sizeof buf - 1] = '\0';
        printf(" \"%s\"", buf);
    }
    printf("\n");
}

void demo_lists(void) {
    XHANDLE list, global;
    char buf[8], file[512];
    const char *dir = getenv("ZAXXLIB_RUNDIR");
    printf("Lists\n");

    /* A local list of at most 60 bytes, each element counting its size + 12. */
    list = XCreateList(60, 0, 0);
    if (list == NULL) {
        show_error("XCreateList");
        return;
    }
    XAddList(list, "two", 3, -1);
    XAddList(list, "one", 3, 0);
    XAddList(list, "three", 5, -1);
    print_list("local list", list, 0);
    XAddList(list, "four", 4, -1);
    show_error("a fourth element past 60 bytes");
    XRemoveList(list, buf, 3, -1);
    show_error("removing 5 bytes into 3");
    printf("  a peek tells the size first: %d bytes\n", XPeekList(list, NULL, 0, -1));
    XRemoveList(list, NULL, 0, 2);
    print_list("after removing the second", list, 0);

    /* The same operations on a list that every process of the machine sees. */
    global = XCreateGlobalList(1024, 0x10000002u, 0x33);
    if (global == NULL) {
        show_error("XCreateGlobalList (is omikinit running?)");
        XDestroyList(list);
        return;
    }
    XAddGlobalList(global, "shared", 6, -1);
    XCreateGlobalList(2048, 0x10000002u, 0x33);
    show_error("attaching with another capacity");

    /* A saved list loads into either kind of list, replacing its elements. */
    snprintf(file, sizeof file, "%s/demo.lst", dir != NULL ? dir : "/tmp");
    if (XSaveList(list, file) && XLoadGlobalList(global, file))
        print_list("global list loaded from the local one's file", global, 1);
    else
        show_error("save or load");
    XLoadList(list, "/nonexistent/demo.lst");
    show_error("loading a missing file");
    print_list("the local list is unchanged", list, 0);
    remove(file);

    XDestroyGlobalList(global);
    XDestroyList(list);
}

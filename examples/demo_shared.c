/* The vector table and shared memory segments (the initiator service runs). */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_shared(void) {
    uint32_t values[2] = {0, 0};
    XHANDLE handle = NULL, other = NULL;
    char *area, *view;
    printf("Vector table and shared memory\n");
    if (!XSetVectorTable("DEMO", 42, 7)) {
        show_error("XSetVectorTable (is omikinit running?)");
        return;
    }
    XGetVectorTableEx("DEMO", values);
    printf("  DEMO -> first %u, second %u\n", values[0], values[1]);
    XResetVectorTable("DEMO");
    XGetVectorTable("DEMO");
    show_error("look-up after removal");

    area = (char *)XAllocShrMemory(&handle, 256, 0x10000001u, 'Z', 'X');
    if (area == (char *)X_FAILED_PTR) {
        show_error("XAllocShrMemory");
        return;
    }
    strcpy(area, "written through the first view");
    view = (char *)XOpenShrMemory(&other, 0x10000001u);
    printf("  second view reads \"%s\", header \"%.4s\"\n", view, view - 16);
    XAllocShrMemory(&handle, 256, 0x10000001u, 0, 0);
    show_error("allocating the key again");
    XCloseShrMemory(view, other);
    XFreeShrMemory(area, handle);
}

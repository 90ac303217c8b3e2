#include <stdio.h>

#include "zaxxlib.h"

int main(void) {
    XErrorInfo e;
    if (XAllocMemory(0, 0) != X_FAILED_PTR) return 1;
    if (XGetLastError(&e) != 0xA40001u) return 2;
    printf("%s\n", e.text);
    return 0;
}

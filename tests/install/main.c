#include <stdio.h>

#include "zaxxlib.h"
#include "zaxxlib_codes.h"

int main(void) {
    XErrorInfo e;
    if (XAllocMemory(0, 0) != X_FAILED_PTR) return 1;
    if (XGetLastError(&e) != X_E_XAllocMemory_BAD_ARGUMENT) return 2;
    printf("%s\n", e.text);
    return 0;
}

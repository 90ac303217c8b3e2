/* Compiled as strict C99: the public header must need nothing else. */
#include "zaxxlib.h"

int zaxxlib_header_c99_compiles(void) {
    XErrorInfo info;
    return (int)XGetLastError(&info);
}

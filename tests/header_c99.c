/* Compiled as strict C99: the public headers must need nothing else. */
#include "zaxxlib.h"
#include "zaxxlib_codes.h"

int zaxxlib_header_c99_compiles(void) {
    XErrorInfo info;
    switch (XGetLastError(&info)) {
        case X_E_XOpenFile_OPEN_FAILED: return (int)X_FN_OF(X_E_XOpenFile_OPEN_FAILED);
        case X_ERROR_CODE(X_FN_XCloseFile, X_R_XCloseFile_CLOSE_FAILED): return 2;
        default: return 0;
    }
}

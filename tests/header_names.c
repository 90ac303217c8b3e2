/* Compiled as strict C99 with warnings as errors: registry names that another
 * header defined first are kept, without a redefinition. */
#define HKEY_CURRENT_USER ((void *)0x80000001)
#define HKEY_LOCAL_MACHINE ((void *)0x80000002)
#define REG_SZ 1
#define REG_DWORD 4
#include "zaxxlib.h"

#if ZAXXLIB_VERSION_NUMBER < 10000
#error "ZAXXLIB_VERSION_NUMBER is not usable in #if"
#endif

int zaxxlib_header_names_kept(void) {
    return HKEY_CURRENT_USER != (void *)0 && REG_DWORD == 4;
}

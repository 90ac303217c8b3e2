// The two configuration files, "XSYSTEM" (the system description) and
// "XTORASYS" (the library's settings), for the modules that read them.
#pragma once
#include "zaxxlib.h"

namespace zax {

// Opens the configuration file name with XOpenParmFile, from the directory in
// ZAXXLIB_XSYSTEM, or from the current directory when that is unset or empty
// (which leaves no trace in the error record). The handle, or X_FAILED_PTR
// with XOpenParmFile's error (0x780006 for a missing file).
XHANDLE open_config_file(const char *name);

}  // namespace zax

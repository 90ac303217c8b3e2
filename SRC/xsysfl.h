// The two configuration files, "XSYSTEM" (the system description) and
// "XTORASYS" (the library's settings), for the modules that read them.
#pragma once
#include "xint.h"
#include "xparm.h"

namespace zax {

// Opens the configuration file name for reading, from the directory in
// ZAXXLIB_XSYSTEM, or from the current directory when that is unset, empty or
// too long; a failure is XOpenParmFile's (0x780006 for a missing file).
Status open_config_file(const char *name, parm::File **out);

}  // namespace zax

// Parameter files for the modules that read their settings from one: the
// operations behind XOpenParmFile(RW), XReadParmStr, XReadParmInt and
// XCloseParmFile, which hand their failure back instead of recording it.
#pragma once
#include <cstdint>

#include "xint.h"

namespace zax::parm {

struct File;

// Opens name (in directory, when not null) for reading, or for reading and
// writing; argument failures are fn's.
Status open(Fn fn, const char *directory, const char *name, bool write, File **out);
// Writes back a changed file opened for writing, then closes it; the file is
// closed and freed whatever the result.
Status close(File *f);
// The value of key in section: its full length in *len, the first size bytes
// in buffer.
Status read_str(File *f, const char *section, const char *key, char *buffer, int32_t size,
                int32_t *len);
// The value of key in section as a 32-bit number; out of range sets *result
// to the nearer limit.
Status read_int(File *f, const char *section, const char *key, int32_t *result);

}  // namespace zax::parm

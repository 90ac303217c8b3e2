// The file operations that other modules use, as the exported functions do
// them but handing their failure back instead of recording it.
#pragma once
#include <cstdint>

#include "xint.h"

namespace zax::file {

Status close(XFILE f);                   // XCloseFile
Status remove(const char *name);         // XDeleteFile
Status exists(const char *name);         // XExistFile
Status unlock(XFILE f);                  // XUnlockFile
Status size64(XFILE f, uint64_t *size);  // XGetFileSize64

}  // namespace zax::file

// The file operations that other modules use, as the exported functions do
// them but handing their failure back instead of recording it.
#pragma once
#include <cstdint>

#include "xint.h"

namespace zax::file {

Status open(const char *name, uint32_t flags, XFILE *out);  // XOpenFile
Status close(XFILE f);                   // XCloseFile
Status lock(XFILE f, int32_t mode);      // XLockFile
// XReadFile: the bytes read in *got (fewer than count at the end of the file).
Status read(XFILE f, void *buffer, uint32_t count, int32_t *got);
Status remove(const char *name);         // XDeleteFile
Status exists(const char *name);         // XExistFile
Status unlock(XFILE f);                  // XUnlockFile
Status size64(XFILE f, uint64_t *size);  // XGetFileSize64

}  // namespace zax::file

// xfile64: the 64-bit entry points. All but the seek and the size query pass
// their arguments to their 32-bit namesakes, whose codes they record.
#include "os/file.h"
#include "xfile.h"
#include "xint.h"

using namespace zax;

Status zax::file::size64(XFILE handle, uint64_t *size) {
    if (handle == 0) return lib_status(FN_XGetFileSize64, R_XGetFileSize64_BAD_ARGUMENT, 1);
    int64_t n = 0;
    bool regular = false;
    if (int err = os::file_size(handle, &n, &regular))
        return sys_status(FN_XGetFileSize64, R_XGetFileSize64_SIZE_FAILED, err);
    if (!regular) return lib_status(FN_XGetFileSize64, R_XGetFileSize64_NOT_A_FILE, 0);
    *size = uint64_t(n);
    return {};
}

extern "C" {

XAPI XFILE XOpenFile64(const char *name, int32_t reserved, uint32_t flags) {
    return XOpenFile(name, reserved, flags);
}
XAPI int32_t XCloseFile64(XFILE handle) { return XCloseFile(handle); }
XAPI int32_t XDeleteFile64(const char *name) { return XDeleteFile(name); }
XAPI int32_t XExistFile64(const char *name) { return XExistFile(name); }
XAPI int32_t XFlushFile64(XFILE handle) { return XFlushFile(handle); }
XAPI int32_t XLockFile64(XFILE handle, int32_t mode) { return XLockFile(handle, mode); }
XAPI int32_t XUnlockFile64(XFILE handle) { return XUnlockFile(handle); }
XAPI int32_t XReadFile64(XFILE handle, void *buffer, uint32_t count) {
    return XReadFile(handle, buffer, count);
}
XAPI int32_t XWriteFile64(XFILE handle, const void *buffer, uint32_t count) {
    return XWriteFile(handle, buffer, count);
}
XAPI int32_t XGetFileInfo64(int32_t a, int32_t b) { return XGetFileInfo(a, b); }
XAPI int32_t XReadFileLn64(XFILE handle, void *buffer, int32_t size) {
    return XReadFileLn(handle, buffer, size);
}

XAPI int32_t XSeekFile64(XFILE handle, int32_t *high, uint32_t *low, int32_t origin) {
    if (handle == 0) {
        lib_error(FN_XSeekFile64, R_XSeekFile64_BAD_ARGUMENT, 1);
        return 0;
    }
    if (high == nullptr) {
        lib_error(FN_XSeekFile64, R_XSeekFile64_BAD_ARGUMENT, 2);
        return 0;
    }
    if (low == nullptr) {
        lib_error(FN_XSeekFile64, R_XSeekFile64_BAD_ARGUMENT, 3);
        return 0;
    }
    int64_t size = 0;
    bool regular = false;
    if (int err = os::file_size(handle, &size, &regular)) {
        sys_error(FN_XSeekFile64, R_XSeekFile64_SIZE_FAILED, err);
        return 0;
    }
    int whence;
    switch (origin) {
        case X_SEEK_SET: whence = 0; break;
        case X_SEEK_CUR: whence = 1; break;
        case X_SEEK_END: whence = 2; break;
        default:
            lib_error(FN_XSeekFile64, R_XSeekFile64_BAD_ARGUMENT, 4);
            return 0;
    }
    int64_t base = 0;
    if (whence == 1) {
        if (int err = os::file_seek(handle, 0, 1, &base)) {
            sys_error(FN_XSeekFile64, R_XSeekFile64_SEEK_FAILED, err);
            return 0;
        }
    } else if (whence == 2) {
        base = size;
    }
    int64_t offset = int64_t((uint64_t(uint32_t(*high)) << 32) | *low);
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size) {
        lib_error(FN_XSeekFile64, R_XSeekFile64_OUT_OF_RANGE, 0);
        return 0;
    }
    int64_t pos;
    if (int err = os::file_seek(handle, offset, whence, &pos)) {
        sys_error(FN_XSeekFile64, R_XSeekFile64_SEEK_FAILED, err);
        return 0;
    }
    *high = int32_t(uint32_t(uint64_t(pos) >> 32));
    *low = uint32_t(uint64_t(pos));
    return 1;
}

XAPI int32_t XGetFileSize64(XFILE handle, uint32_t *high, uint32_t *low) {
    if (handle == 0) {
        lib_error(FN_XGetFileSize64, R_XGetFileSize64_BAD_ARGUMENT, 1);
        return -1;
    }
    if (high == nullptr) {
        lib_error(FN_XGetFileSize64, R_XGetFileSize64_BAD_ARGUMENT, 2);
        return -1;
    }
    if (low == nullptr) {
        lib_error(FN_XGetFileSize64, R_XGetFileSize64_BAD_ARGUMENT, 3);
        return -1;
    }
    uint64_t size = 0;
    if (Status s = file::size64(handle, &size); s.failed()) {
        record_failure(s);
        return s.code == code_of(FN_XGetFileSize64, R_XGetFileSize64_NOT_A_FILE) ? -2 : -1;
    }
    *high = uint32_t(size >> 32);
    *low = uint32_t(size);
    return 0;
}

}  // extern "C"

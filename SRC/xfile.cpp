// xfile: files by their descriptors, line input and output, and memory-mapped
// files. The library keeps nothing per file: every call works on the
// descriptor the caller holds.
#include <cerrno>
#include <cstring>

#include "os/file.h"
#include "os/mmap.h"
#include "xfile.h"
#include "xhandle.h"
#include "xint.h"

using namespace zax;

namespace {

constexpr uint32_t kAccessBits = X_OPEN_READ | X_OPEN_WRITE | X_OPEN_READWRITE;
constexpr uint32_t kLockBits = X_OPEN_LOCK | X_OPEN_LOCK_NOWAIT;
constexpr uint32_t kDispositionBits = X_OPEN_CREATE | X_OPEN_TRUNCATE;
constexpr uint32_t kAllOpenBits = kAccessBits | kLockBits | kDispositionBits;  // 0x30307

constexpr size_t kMaxName = 255;

// A name of 1 to 255 characters with its terminator within 256 bytes.
bool name_ok(const char *name) {
    if (name == nullptr) return false;
    size_t n = strnlen(name, kMaxName + 1);
    return n >= 1 && n <= kMaxName;
}

int bit_count(uint32_t v) { return __builtin_popcount(v); }

bool flags_ok(uint32_t flags) {
    if ((flags & ~kAllOpenBits) != 0) return false;
    if (bit_count(flags & kAccessBits) != 1) return false;
    if (bit_count(flags & kLockBits) > 1) return false;
    if (bit_count(flags & kDispositionBits) > 1) return false;
    if ((flags & X_OPEN_TRUNCATE) && (flags & X_OPEN_READ)) return false;
    return true;
}

// The layer's whence for a seek origin, or -1 for an invalid one.
int whence_of(int32_t origin) {
    switch (origin) {
        case X_SEEK_SET: return 0;
        case X_SEEK_CUR: return 1;
        case X_SEEK_END: return 2;
        default: return -1;
    }
}

// The line reader's step back: after a read of `got` bytes whose line ends at
// index `end`, move the position back over the bytes after it. The target lies
// within what was just read, so the bounds check of XSeekFile cannot fail and
// one system call does the move.
Status seek_back(XFILE handle, int64_t delta) {
    if (delta == 0) return {};
    int64_t pos;
    if (int err = os::file_seek(handle, delta, 1, &pos))
        return sys_status(FN_XSeekFile, R_XSeekFile_SEEK_FAILED, err);
    return {};
}

// A read short of its count: the call succeeds, but leaves the sign of the
// end of the file.
constexpr Status kShortRead = sys_status(FN_XReadFile, R_XReadFile_SHORT_READ, 0);

// The line readers' read, which records its outcome once: end_of(bytes, n)
// gives the length of the line in the bytes read, with its end, or 0 when they
// hold no line end. A line found clears the record and leaves the position
// just after it; without a line end the bytes read go back as they are and
// the next call continues the line, with XReadFile's reason 1 in the record
// after a short read (the last, unterminated line) and the unsuccessful search
// after a full buffer.
template <class EndOf>
int32_t read_line(XFILE handle, void *buffer, int32_t size, EndOf end_of) {
    int32_t got = 0;
    if (Status s = file::read(handle, buffer, uint32_t(size), &got); s.failed()) {
        record_failure(s);
        return -1;
    }
    int32_t len = got > 0 ? end_of(static_cast<const uint8_t *>(buffer), size_t(got)) : 0;
    if (len > 0) {
        Status s = seek_back(handle, int64_t(len) - got);
        record_failure(s);  // after a step back that worked, a cleared record
        return s.failed() ? -1 : len;
    }
    record_failure(got < size ? kShortRead : lib_status(FN_XGetBufLen, R_XGetBufLen_NOT_FOUND, 0));
    return got;
}

// Common checks of the two line readers; false when refused (recorded).
bool line_args_ok(XFILE handle, const void *buffer, int32_t size) {
    if (handle == 0) {
        lib_error(FN_XReadFileLn, R_XReadFileLn_BAD_ARGUMENT, 1);
        return false;
    }
    if (buffer == nullptr) {
        lib_error(FN_XReadFileLn, R_XReadFileLn_BAD_ARGUMENT, 2);
        return false;
    }
    // A negative size would become a read far beyond the buffer.
    if (size <= 0) {
        lib_error(FN_XReadFileLn, R_XReadFileLn_BAD_ARGUMENT, 3);
        return false;
    }
    return true;
}

// The mapped-file handle.
struct MappedFile {
    HandleHeader header;
    XFILE file;      // the file's descriptor
    uint32_t size;   // bytes of the file and of the view
    void *view;      // the view's address
    int32_t lock;    // the exclusivity lock file's descriptor, or -1
};
MappedFile *mapped_of(XHANDLE handle) { return handle_as<MappedFile>(handle, HandleKind::mapped); }

constexpr size_t kMaxFullPath = 260;

// XFlushMemMapFile, for the close of a mapping too.
Status flush_mapping(const MappedFile *m) {
    if (int err = os::sync_mapping(m->view, m->size))
        return sys_status(FN_XFlushMemMapFile, R_XFlushMemMapFile_FLUSH_FAILED, err);
    return {};
}

}  // namespace

Status file::open(const char *name, uint32_t flags, XFILE *out) {
    if (!name_ok(name)) return lib_status(FN_XOpenFile, R_XOpenFile_BAD_ARGUMENT, 1);
    if (!flags_ok(flags)) return lib_status(FN_XOpenFile, R_XOpenFile_BAD_ARGUMENT, 3);
    bool write = (flags & X_OPEN_READ) == 0;
    // A file to be cut and locked is cut only once the lock is had: cutting
    // it first would destroy what the present holder is writing.
    bool lock = (flags & kLockBits) != 0;
    bool cut_after_lock = lock && (flags & X_OPEN_TRUNCATE);
    os::Disposition disp = (flags & X_OPEN_CREATE) ? os::Disposition::create_new
                           : (flags & X_OPEN_TRUNCATE) && !cut_after_lock
                               ? os::Disposition::truncate_existing
                               : os::Disposition::open_existing;
    int32_t fd = 0;
    for (;;) {
        if (int err = os::file_open(name, write, disp, &fd))
            return sys_status(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
        if (!lock) break;
        int32_t mode = (flags & X_OPEN_LOCK) ? X_LOCK_WAIT : X_LOCK_NOWAIT;
        if (Status s = file::lock(fd, mode); s.failed()) {
            (void)os::file_close(fd);
            return s;
        }
        // A holder that replaced the file whole meanwhile (a list save, a
        // parameter-file rewrite) left a new file under the name, and one
        // that deleted it left none: the lock is worth something only on the
        // file that has the name now, so that one is opened again.
        bool same = true;
        if (int err = os::file_is_named(fd, name, &same)) {
            (void)os::file_close(fd);
            return sys_status(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
        }
        if (same) break;
        (void)os::file_close(fd);
        if (disp == os::Disposition::create_new) disp = os::Disposition::open_existing;
    }
    if (cut_after_lock) {
        if (int err = os::file_truncate(fd, 0)) {
            (void)os::file_close(fd);
            return sys_status(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
        }
    }
    *out = fd;
    return {};
}

Status file::lock(XFILE handle, int32_t mode) {
    if (handle == 0) return lib_status(FN_XLockFile, R_XLockFile_BAD_ARGUMENT, 1);
    if (mode != X_LOCK_WAIT && mode != X_LOCK_NOWAIT)
        return lib_status(FN_XLockFile, R_XLockFile_BAD_ARGUMENT, 2);
    if (int err = os::file_lock(handle, mode == X_LOCK_WAIT))
        return sys_status(FN_XLockFile, R_XLockFile_LOCK_FAILED, err);
    return {};
}

Status file::read(XFILE handle, void *buffer, uint32_t count, int32_t *got) {
    if (handle == 0) return lib_status(FN_XReadFile, R_XReadFile_BAD_ARGUMENT, 1);
    if (buffer == nullptr) return lib_status(FN_XReadFile, R_XReadFile_BAD_ARGUMENT, 2);
    if (count == 0) return lib_status(FN_XReadFile, R_XReadFile_BAD_ARGUMENT, 3);
    // The result is a signed count: one read never asks for more than it holds.
    size_t want = count > 0x7ffff000u ? 0x7ffff000u : count;
    size_t n = 0;
    if (int err = os::file_read(handle, buffer, want, &n))
        return sys_status(FN_XReadFile, R_XReadFile_READ_FAILED, err);
    *got = int32_t(n);
    return {};
}

Status file::close(XFILE handle) {
    if (handle == 0) return lib_status(FN_XCloseFile, R_XCloseFile_BAD_ARGUMENT, 1);
    if (int err = os::file_close(handle))
        return sys_status(FN_XCloseFile, R_XCloseFile_CLOSE_FAILED, err);
    return {};
}

Status file::remove(const char *name) {
    if (!name_ok(name)) return lib_status(FN_XDeleteFile, R_XDeleteFile_BAD_ARGUMENT, 1);
    if (int err = os::file_delete(name))
        return sys_status(FN_XDeleteFile, R_XDeleteFile_DELETE_FAILED, err);
    return {};
}

Status file::exists(const char *name) {
    if (!name_ok(name)) return lib_status(FN_XExistFile, R_XExistFile_BAD_ARGUMENT, 1);
    bool found = false;
    int absent = 0;
    if (int err = os::file_glob_exists(name, &found, &absent))
        return sys_status(FN_XExistFile, R_XExistFile_SEARCH_FAILED, err);
    // glob releases its search state itself and cannot fail to, so reason 3
    // (the search cannot be closed) never arises here.
    if (!found) return sys_status(FN_XExistFile, R_XExistFile_NOT_FOUND, absent);
    return {};
}

Status file::unlock(XFILE handle) {
    if (handle == 0) return lib_status(FN_XUnlockFile, R_XUnlockFile_BAD_ARGUMENT, 1);
    if (int err = os::file_unlock(handle))
        return sys_status(FN_XUnlockFile, R_XUnlockFile_UNLOCK_FAILED, err);
    return {};
}

extern "C" {

// ---------------------------------------------------------------------------
// Files

XAPI XFILE XOpenFile(const char *name, int32_t reserved, uint32_t flags) {
    (void)reserved;
    XFILE f = 0;
    Status s = file::open(name, flags, &f);
    if (s.failed()) record_failure(s);
    return f;
}

XAPI int32_t XCloseFile(XFILE handle) {
    return recorded(file::close(handle));
}

XAPI int32_t XDeleteFile(const char *name) {
    return recorded(file::remove(name));
}

XAPI int32_t XExistFile(const char *name) {
    return recorded(file::exists(name));
}

XAPI int32_t XFlushFile(XFILE handle) {
    if (handle == 0) {
        lib_error(FN_XFlushFile, R_XFlushFile_BAD_ARGUMENT, 1);
        return 0;
    }
    if (int err = os::file_sync(handle)) {
        sys_error(FN_XFlushFile, R_XFlushFile_FLUSH_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XLockFile(XFILE handle, int32_t mode) {
    return recorded(file::lock(handle, mode));
}

XAPI int32_t XUnlockFile(XFILE handle) {
    return recorded(file::unlock(handle));
}

XAPI int32_t XReadFile(XFILE handle, void *buffer, uint32_t count) {
    int32_t got = 0;
    if (Status s = file::read(handle, buffer, count, &got); s.failed()) {
        record_failure(s);
        return -1;
    }
    if (uint32_t(got) < count) record_failure(kShortRead);
    return got;
}

XAPI int32_t XWriteFile(XFILE handle, const void *buffer, uint32_t count) {
    if (handle == 0) {
        lib_error(FN_XWriteFile, R_XWriteFile_BAD_ARGUMENT, 1);
        return -1;
    }
    if (buffer == nullptr) {
        lib_error(FN_XWriteFile, R_XWriteFile_BAD_ARGUMENT, 2);
        return -1;
    }
    if (count == 0) {
        lib_error(FN_XWriteFile, R_XWriteFile_BAD_ARGUMENT, 3);
        return -1;
    }
    size_t put = 0;
    if (int err = os::file_write(handle, buffer, count, &put)) {
        // Bytes written before the failure stay in the file and the position
        // moved past them: the caller gets their count, short of what it
        // asked, with the failure in the record (as a read short of its count
        // leaves reason 1); -1 only when nothing was written.
        sys_error(FN_XWriteFile, R_XWriteFile_WRITE_FAILED, err);
        return put > 0 ? int32_t(put) : -1;
    }
    return int32_t(put);
}

XAPI int32_t XSeekFile(XFILE handle, int32_t offset, int32_t origin) {
    if (handle == 0) {
        lib_error(FN_XSeekFile, R_XSeekFile_BAD_ARGUMENT, 1);
        return -1;
    }
    int64_t size64 = 0;
    bool regular = false;
    if (int err = os::file_size(handle, &size64, &regular)) {
        sys_error(FN_XSeekFile, R_XSeekFile_SIZE_FAILED, err);
        return -1;
    }
    // The 32-bit interface sees the lower halves of size and position.
    int64_t size = int64_t(uint32_t(size64));
    int whence = whence_of(origin);
    if (whence < 0) {
        lib_error(FN_XSeekFile, R_XSeekFile_BAD_ARGUMENT, 3);
        return -1;
    }
    int64_t base = 0;
    if (whence == 1) {
        int64_t cur;
        if (int err = os::file_seek(handle, 0, 1, &cur)) {
            sys_error(FN_XSeekFile, R_XSeekFile_SEEK_FAILED, err);
            return -1;
        }
        base = int64_t(uint32_t(cur));
    } else if (whence == 2) {
        base = size;
    }
    int64_t target = base + offset;
    if (target < 0 || target > size) {
        lib_error(FN_XSeekFile, R_XSeekFile_BAD_ARGUMENT, 2);
        return -1;
    }
    int64_t pos;
    if (int err = os::file_seek(handle, offset, whence, &pos)) {
        sys_error(FN_XSeekFile, R_XSeekFile_SEEK_FAILED, err);
        return -1;
    }
    return int32_t(pos);
}

XAPI int32_t XGetFileInfo(int32_t a, int32_t b) {
    (void)a;
    (void)b;
    return 1;
}

// ---------------------------------------------------------------------------
// Lines

XAPI int32_t XReadFileLn(XFILE handle, void *buffer, int32_t size) {
    if (!line_args_ok(handle, buffer, size)) return -1;
    return read_line(handle, buffer, size, [](const uint8_t *b, size_t n) {
        // The earlier of the first line feed and the first form feed. Past a
        // line feed a form feed cannot come earlier, so the second scan stops
        // there.
        const void *lf = std::memchr(b, 0x0A, n);
        size_t limit = lf ? size_t(static_cast<const uint8_t *>(lf) - b) : n;
        const void *ff = std::memchr(b, 0x0C, limit);
        const void *end = ff ? ff : lf;
        return end ? int32_t(static_cast<const uint8_t *>(end) - b) + 1 : 0;
    });
}

XAPI int32_t XReadFileLn_UTF16(XFILE handle, void *buffer, int32_t size, int16_t byteorder) {
    if (!line_args_ok(handle, buffer, size)) return -1;
    if (byteorder != X_UTF16_BIG && byteorder != X_UTF16_LITTLE) {
        lib_error(FN_XReadFileLn, R_XReadFileLn_BAD_ARGUMENT, 4);
        return -1;
    }
    const bool big = byteorder == X_UTF16_BIG;
    return read_line(handle, buffer, size, [big](const uint8_t *b, size_t n) {
        // Every byte position is tried, not only even ones, as the text may
        // start at an odd offset of the buffer.
        for (size_t i = 0; i + 1 < n; ++i) {
            uint8_t hi = big ? b[i] : b[i + 1];
            uint8_t lo = big ? b[i + 1] : b[i];
            if (hi == 0 && (lo == 0x0A || lo == 0x0C)) return int32_t(i) + 2;
        }
        return int32_t(0);
    });
}

XAPI int32_t XWriteFileLn(XFILE handle, const void *buffer, int32_t count) {
    if (handle == 0) {
        lib_error(FN_XWriteFileLn, R_XWriteFileLn_BAD_ARGUMENT, 1);
        return -1;
    }
    if (buffer == nullptr) {
        lib_error(FN_XWriteFileLn, R_XWriteFileLn_BAD_ARGUMENT, 2);
        return -1;
    }
    if (count <= 0) {  // a negative count would write far beyond the buffer
        lib_error(FN_XWriteFileLn, R_XWriteFileLn_BAD_ARGUMENT, 3);
        return -1;
    }
    return XWriteFile(handle, buffer, uint32_t(count));
}

XAPI int32_t XGetFileSize(XFILE handle) {
    if (handle == 0) {
        lib_error(FN_XGetFileSize, R_XGetFileSize_BAD_ARGUMENT, 1);
        return -1;
    }
    int64_t size = 0;
    bool regular = false;
    if (int err = os::file_size(handle, &size, &regular)) {
        sys_error(FN_XGetFileSize, R_XGetFileSize_SIZE_FAILED, err);
        return -1;
    }
    if (!regular) {
        lib_error(FN_XGetFileSize, R_XGetFileSize_NOT_A_FILE, 0);
        return -2;
    }
    return int32_t(uint32_t(uint64_t(size)));  // the lower 32 bits only
}

// ---------------------------------------------------------------------------
// Memory-mapped files

XAPI void *XOpenMemMapFile(XHANDLE *handle, const char *name, int32_t access, int32_t sharing) {
    if (handle == nullptr) {
        lib_error(FN_XOpenMemMapFile, R_XOpenMemMapFile_BAD_ARGUMENT, 1);
        return nullptr;
    }
    if (access != X_MAP_READ && access != X_MAP_READWRITE) {
        lib_error(FN_XOpenMemMapFile, R_XOpenMemMapFile_BAD_ARGUMENT, 3);
        return nullptr;
    }
    if (sharing != X_MAP_SHARED && sharing != X_MAP_EXCLUSIVE) {
        lib_error(FN_XOpenMemMapFile, R_XOpenMemMapFile_BAD_ARGUMENT, 4);
        return nullptr;
    }
    if (!name_ok(name)) {
        lib_error(FN_XOpenMemMapFile, R_XOpenMemMapFile_BAD_ARGUMENT, 2);
        return nullptr;
    }
    // The names derive from the full path, so that every way of naming the
    // file reaches the same exclusivity lock: "ZAXSEMPH" + "ZAXFLMAP" + path
    // with each "/" as "@". The pages themselves are shared through the file.
    char full[kMaxFullPath + 1];
    if (int err = os::full_path(name, full, sizeof full)) {
        sys_error(FN_XOpenMemMapFile, R_XOpenMemMapFile_PATH_FAILED, err);
        return nullptr;
    }
    char lock_name[8 + 8 + kMaxFullPath + 1];
    std::strcpy(lock_name, "ZAXSEMPHZAXFLMAP");
    for (char *d = lock_name + 16, *s = full;; ++s, ++d) {
        *d = *s == '/' ? '@' : *s;
        if (*s == '\0') break;
    }
    int32_t lock = -1;
    if (sharing == X_MAP_EXCLUSIVE) {
        bool open_failed = false;
        if (int err = os::lock_file_acquire(lock_name, &lock, &open_failed)) {
            sys_error(
                FN_XOpenMemMapFile,
                open_failed ? R_XOpenMemMapFile_LOCK_OPEN_FAILED : R_XOpenMemMapFile_EXCLUSIVE_HELD,
                err);
            return nullptr;
        }
    }
    auto release_lock = [&] {
        if (lock >= 0) (void)os::lock_file_release(lock);
    };
    auto *m = handle_new<MappedFile>(HandleKind::mapped);
    if (m == nullptr) {
        release_lock();
        return nullptr;
    }
    auto fail = [&](Reason reason, int err, XFILE fd) -> void * {
        sys_error(FN_XOpenMemMapFile, reason, err);
        if (fd != 0) (void)os::file_close(fd);
        handle_free(m);
        release_lock();
        return nullptr;
    };
    // Opened with the access the mapping needs: a reader may map a file that
    // it may only read.
    XFILE fd = 0;
    if (int err = os::file_open(name, access == X_MAP_READWRITE, os::Disposition::open_existing, &fd))
        return fail(R_XOpenMemMapFile_OPEN_FAILED, err, 0);
    int64_t size = 0;
    bool regular = false;
    if (int err = os::file_size(fd, &size, &regular))
        return fail(R_XOpenMemMapFile_SIZE_FAILED, err, fd);
    // What cannot be mapped at all fails where the mapping object would be
    // made: an empty file, something that is not a file, 4 GiB or more.
    if (!regular || size == 0) return fail(R_XOpenMemMapFile_NOT_MAPPABLE, EINVAL, fd);
    if (size > int64_t(UINT32_MAX)) return fail(R_XOpenMemMapFile_NOT_MAPPABLE, EFBIG, fd);
    void *view = nullptr;
    if (int err = os::map_file(fd, size_t(size), access == X_MAP_READWRITE, &view))
        return fail(R_XOpenMemMapFile_MAP_FAILED, err, fd);
    m->file = fd;
    m->size = uint32_t(size);
    m->view = view;
    m->lock = lock;
    *handle = m;
    return view;
}

XAPI int32_t XFlushMemMapFile(XHANDLE handle) {
    MappedFile *m = mapped_of(handle);
    if (m == nullptr) {
        lib_error(FN_XFlushMemMapFile, R_XFlushMemMapFile_BAD_ARGUMENT, 1);
        return 0;
    }
    return recorded(flush_mapping(m));
}

XAPI int32_t XCloseMemMapFile(XHANDLE handle) {
    MappedFile *m = mapped_of(handle);
    if (m == nullptr) {
        lib_error(FN_XCloseMemMapFile, R_XCloseMemMapFile_BAD_ARGUMENT, 1);
        return 0;
    }
    // Every resource is released even when a step fails; the result and the
    // record tell the first failure.
    Status first = flush_mapping(m);
    if (m->lock >= 0) (void)os::lock_file_release(m->lock);  // closing alone would release it too
    if (int err = os::unmap_file(m->view, m->size); err != 0 && !first.failed())
        first = sys_status(FN_XCloseMemMapFile, R_XCloseMemMapFile_UNMAP_FAILED, err);
    if (Status s = file::close(m->file); s.failed() && !first.failed()) first = s;
    handle_free(m);
    return recorded(first);
}

}  // extern "C"

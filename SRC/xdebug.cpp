// xdebug (settings): debug records.  A record takes its levels and bindings
// from the chain of sections in the library settings file "XTORASYS", read in
// two passes (count, then fill), and holds its trace file open and locked for
// its whole life.
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "os/env.h"
#include "os/tracefile.h"
#include "xdebug.h"
#include "xfile.h"
#include "xint.h"
#include "xsysfl.h"

using namespace zax;
using namespace zax::debug;

namespace {

constexpr char kSettingsFile[] = "XTORASYS";
constexpr char kTopSection[] = "XTORASYS";
constexpr char kChainEnd[] = "NONE";
constexpr char kConsoleName[] = "XP_TRACE_DEFAULT";
constexpr char kTraceAll[] = "XP_TRACE_ALL";
constexpr char kDumpAll[] = "XP_DUMP_ALL";
constexpr int32_t kSectionMax = 255;  // characters of a "BINDINGS" value
constexpr char kDurabilitySection[] = "TRACE";
constexpr char kDurabilityEntry[] = "DURABILITY";
constexpr char kDurabilityEnv[] = "ZAXXLIB_TRACE_DURABILITY";

// Level and mask, in table order.
struct Row {
    int32_t level;
    int32_t mask;
};
constexpr Row kTraceRows[] = {{0, 0}, {1, 4}, {2, 6}, {3, 7}, {4, -1}};
constexpr Row kDumpRows[] = {{0, 0}, {1, 1}, {2, -1}};
constexpr int kTraceGlobalRows = 5, kTraceBindingRows = 4;
constexpr int kDumpGlobalRows = 3, kDumpBindingRows = 2;

// The mask of level in the first rows of table; 0 when it is not there.
int32_t mask_of_level(const Row *table, int rows, int32_t level) {
    for (int i = 0; i < rows; ++i)
        if (table[i].level == level) return table[i].mask;
    return 0;
}

bool mask_allowed(const Row *table, int rows, int32_t mask) {
    for (int i = 0; i < rows; ++i)
        if (table[i].mask == mask) return true;
    return false;
}

// The level of a stored mask; 0 for a mask outside the table.
uint32_t level_of_mask(const Row *table, int rows, int32_t mask) {
    for (int i = 0; i < rows; ++i)
        if (table[i].mask == mask) return uint32_t(table[i].level);
    return 0;
}

bool same(const char *a, const char *b) { return std::strcmp(a, b) == 0; }

// The settings file, or null with the failure recorded.
parm::File *open_settings() {
    parm::File *f = nullptr;
    if (Status s = open_config_file(kSettingsFile, &f); s.failed()) {
        record_failure(s);
        return nullptr;
    }
    return f;
}

// A read-only file closes without writing; nothing a pass reports comes
// from the close.
void close_settings(parm::File *f) { (void)parm::close(f); }

// An integer level; absent, not a number or out of range reads as a level
// that is in no table.
int32_t read_level(parm::File *f, const char *section, const char *key) {
    int32_t v = 0;
    return parm::read_int(f, section, key, &v).failed() ? -1 : v;
}

// A string entry into buffer (at most size bytes); its full length, or 0
// with the failure recorded (an empty value is no value).
int32_t read_str(parm::File *f, const char *section, const char *key, char *buffer, int32_t size) {
    int32_t len = 0;
    if (Status s = parm::read_str(f, section, key, buffer, size, &len); s.failed()) {
        record_failure(s);
        return 0;
    }
    return len;
}

// The "BINDINGS" value of section into next (256 bytes).  position is the
// section's place in the chain (0 for "XTORASYS").  Returns 1 for a next
// section, 0 for the end of the chain, -1 on failure (recorded).
int read_next(parm::File *h, const char *section, uint32_t position, char *next) {
    int32_t len = read_str(h, section, "BINDINGS", next, kSectionMax);
    if (len == 0) return -1;
    if (len > kSectionMax) {
        lib_error(FN_XInitDebug, R_XInitDebug_BINDINGS_TOO_LONG, position);
        return -1;
    }
    next[len] = '\0';
    return same(next, kChainEnd) ? 0 : 1;
}

// How trace file lines reach the disk: $ZAXXLIB_TRACE_DURABILITY when set
// and not empty, else the entry "DURABILITY" of section "TRACE"; "sync" (each
// line forced to the disk, the default) or "write" (each line handed to the
// system in one write), in any case. Anything else fails with reason 5.
bool read_durability(parm::File *h, bool &write_only) {
    char value[16] = {};
    long n = os::env_get(kDurabilityEnv, value, sizeof value);
    if (n <= 0) {  // an entry that is not there leaves the default
        int32_t len = 0;
        if (!parm::read_str(h, kDurabilitySection, kDurabilityEntry, value,
                            int32_t(sizeof value) - 1, &len)
                 .failed())
            n = len;
    }
    if (n <= 0) {
        write_only = false;
        return true;
    }
    if (size_t(n) < sizeof value) {
        if (strcasecmp(value, "sync") == 0 || strcasecmp(value, "write") == 0) {
            write_only = strcasecmp(value, "write") == 0;
            return true;
        }
    }
    lib_error(FN_XInitDebug, R_XInitDebug_BAD_DURABILITY, 0);
    return false;
}

// Counting pass: the number of binding sections in the chain.
bool count_bindings(uint32_t &count) {
    parm::File *h = open_settings();
    if (h == nullptr) return false;
    char names[2][kSectionMax + 1];
    const char *current = kTopSection;
    uint32_t n = 0;
    bool ok = true;
    for (;;) {
        char *next = names[n % 2];
        int r = read_next(h, current, n, next);
        if (r < 0) {
            ok = false;
            break;
        }
        if (r == 0) break;
        if (n + 1 > kMaxBindings) {
            lib_error(FN_XInitDebug, R_XInitDebug_TOO_MANY_BINDINGS, 0);
            ok = false;
            break;
        }
        ++n;
        current = next;
    }
    close_settings(h);
    count = n;
    return ok;
}

// Reading pass: the global levels and the entries of the table (room for
// r->count entries).  A chain that has shrunk since the count leaves the
// count at the entries filled.
bool read_bindings(Record *r) {
    parm::File *h = open_settings();
    if (h == nullptr) return false;
    r->trace_mask = mask_of_level(kTraceRows, kTraceGlobalRows, read_level(h, kTopSection, "TRACE"));
    r->dump_mask = mask_of_level(kDumpRows, kDumpGlobalRows, read_level(h, kTopSection, "DUMP"));
    if (!read_durability(h, r->write_only)) {
        close_settings(h);
        return false;
    }
    char names[2][kSectionMax + 1];
    const char *current = kTopSection;
    uint32_t filled = 0;
    bool ok = true;
    for (;;) {
        char *next = names[filled % 2];
        int more = read_next(h, current, filled, next);
        if (more < 0) {
            ok = false;
            break;
        }
        if (more == 0) break;
        if (filled + 1 > r->count) {
            lib_error(FN_XInitDebug, R_XInitDebug_TOO_MANY_BINDINGS, 0);
            ok = false;
            break;
        }
        Binding &b = r->table[filled];
        ++filled;
        current = next;
        char id[kIdMax + 1] = {};
        int32_t len = read_str(h, current, "ID", id, int32_t(kIdMax));
        if (len == 0) {
            ok = false;
            break;
        }
        if (len > int32_t(kIdMax)) {
            lib_error(FN_XInitDebug, R_XInitDebug_ID_TOO_LONG, filled);
            ok = false;
            break;
        }
        std::memcpy(b.id, id, sizeof b.id);
        b.trace_mask = mask_of_level(kTraceRows, kTraceBindingRows, read_level(h, current, "TRACE"));
        b.dump_mask = mask_of_level(kDumpRows, kDumpBindingRows, read_level(h, current, "DUMP"));
    }
    close_settings(h);
    if (ok) r->count = filled;
    return ok;
}

// Both passes into r, whose count, masks and table are clear.  On failure
// the table that was allocated stays in r->table for the caller to free.
bool load_settings(Record *r) {
    uint32_t count = 0;
    if (!count_bindings(count)) return false;
    r->count = count;
    if (count > 0) {
        void *t = XAllocMemory(int32_t(count * sizeof(Binding)), r->tag);
        if (t == X_FAILED_PTR) {
            r->count = 0;
            return false;
        }
        r->table = static_cast<Binding *>(t);
    }
    return read_bindings(r);
}

// Whether s is a failed open with the errno err.
bool open_failed(const Status &s, int err) {
    return s.code == code_of(FN_XOpenFile, R_XOpenFile_OPEN_FAILED) && s.detail == uint32_t(err);
}

// Opens the trace file with its exclusive lock (waiting for another record
// that holds it), emptying it when it exists (once the lock is had) and
// creating it when it does not.
Status open_trace_file(const char *name, XFILE *out) {
    for (;;) {
        XFILE f = 0;
        Status s = file::open(name, X_OPEN_READWRITE | X_OPEN_LOCK | X_OPEN_TRUNCATE, &f);
        if (open_failed(s, ENOENT)) {
            s = file::open(name, X_OPEN_READWRITE | X_OPEN_LOCK | X_OPEN_CREATE, &f);
            if (open_failed(s, EEXIST)) continue;  // another opener was quicker
        }
        if (s.failed()) return s;
        // A record that ended while this one waited may have deleted the
        // file: this one then makes a new one.
        bool linked = true;
        if (int err = os::trace_file_linked(f, &linked)) {
            (void)file::close(f);
            return sys_status(FN_XOpenFile, R_XOpenFile_OPEN_FAILED, err);
        }
        if (linked) {
            *out = f;
            return {};
        }
        (void)file::close(f);
    }
}

// Ends the record: trace file, table, record.  Every step is tried; the
// first failure is the result.
Status end_record(Record *r) {
    Status first;
    auto step = [&](const Status &s) {
        if (s.failed() && !first.failed()) first = s;
    };
    if (r->file != 0) {
        // Size and deletion come before the unlock: a record waiting for the
        // file then finds it deleted and makes a new one.
        uint64_t size = 0;
        Status sized = file::size64(r->file, &size);
        step(sized);
        if (!sized.failed() && size == 0) step(file::remove(r->file_name));
        step(file::unlock(r->file));
        step(file::close(r->file));
    }
    if (r->table != nullptr) step(free_block(r->table));
    handle_free(r);
    return first;
}

constexpr Reason kSetArgument =
    same_reason(R_XSetTraceLevel_BAD_ARGUMENT, R_XSetDumpLevel_BAD_ARGUMENT);
constexpr Reason kGetArgument =
    same_reason(R_XGetTraceLevel_BAD_ARGUMENT, R_XGetDumpLevel_BAD_ARGUMENT);

// Checks record and name of the set operations.
bool check_set(Fn fn, const Record *r, const char *name) {
    if (r == nullptr) {
        lib_error(fn, kSetArgument, 1);
        return false;
    }
    if (!valid_name(name)) {
        lib_error(fn, kSetArgument, 2);
        return false;
    }
    return true;
}

bool check_get(Fn fn, const Record *r, const char *name, const uint32_t *level) {
    uint32_t bad = r == nullptr ? 1 : name == nullptr ? 2 : level == nullptr ? 3 : 0;
    if (bad != 0) {
        lib_error(fn, kGetArgument, bad);
        return false;
    }
    return true;
}

Binding *find_entry(Record *r, const char *name) {
    return const_cast<Binding *>(find_binding(r, name));
}

}  // namespace

extern "C" {

XAPI XHANDLE XInitDebug(const char *name, uint32_t tag) {
    if (name == nullptr || name[0] == '\0' || std::memchr(name, 0, kNameBuf) == nullptr) {
        lib_error(FN_XInitDebug, R_XInitDebug_BAD_ARGUMENT, 1);
        return nullptr;
    }
    Record *r = handle_new<Record>(HandleKind::debug);
    if (r == nullptr) return nullptr;
    r->tag = tag;
    bool ok = count_bindings(r->count);
    if (ok && r->count > 0) {
        void *t = XAllocMemory(int32_t(r->count * sizeof(Binding)), tag);
        if (t == X_FAILED_PTR) {
            ok = false;
        } else {
            r->table = static_cast<Binding *>(t);
        }
    }
    if (!ok) r->count = 0;
    if (ok && !same(name, kConsoleName)) {
        ok = recorded(open_trace_file(name, &r->file)) == 1;
        if (ok) std::memcpy(r->file_name, name, std::strlen(name) + 1);
    }
    if (ok) ok = read_bindings(r);
    if (ok) return r;
    (void)end_record(r);  // the failure that ended the start is the one recorded
    return nullptr;
}

XAPI int32_t XTermDebug(XHANDLE record) {
    Record *r =
        handle_get<Record>(record, HandleKind::debug, FN_XTermDebug, R_XTermDebug_BAD_ARGUMENT);
    if (r == nullptr) return 0;
    return recorded(end_record(r));
}

XAPI int32_t XRefreshDebug(XHANDLE record) {
    Record *r = handle_get<Record>(record, HandleKind::debug, FN_XRefreshDebug,
                                   R_XRefreshDebug_BAD_ARGUMENT);
    if (r == nullptr) return 0;
    // The levels are read anew; on failure the old ones stay.
    const uint32_t count = r->count;
    const int32_t trace_mask = r->trace_mask, dump_mask = r->dump_mask;
    Binding *table = r->table;
    r->count = 0;
    r->trace_mask = 0;
    r->dump_mask = 0;
    r->table = nullptr;
    if (load_settings(r)) {
        if (table != nullptr) XFreeMemory(table);
        return 1;
    }
    if (r->table != nullptr) (void)free_block(r->table);
    r->count = count;
    r->trace_mask = trace_mask;
    r->dump_mask = dump_mask;
    r->table = table;
    return 0;
}

XAPI int32_t XSetTraceLevel(XHANDLE record, const char *name, int32_t mask) {
    Record *r = record_of(record);
    if (!check_set(FN_XSetTraceLevel, r, name)) return 0;
    bool all = same(name, kTraceAll);
    if (!mask_allowed(kTraceRows, all ? kTraceGlobalRows : kTraceBindingRows, mask)) {
        lib_error(FN_XSetTraceLevel, R_XSetTraceLevel_BAD_ARGUMENT, 3);
        return 0;
    }
    if (all) {
        r->trace_mask = mask;
        return 1;
    }
    Binding *b = find_entry(r, name);
    if (b == nullptr) {
        lib_error(FN_XSetTraceLevel, R_XSetTraceLevel_NO_BINDING, 0);
        return 0;
    }
    b->trace_mask = mask;
    return 1;
}

XAPI int32_t XSetDumpLevel(XHANDLE record, const char *name, int32_t mask) {
    Record *r = record_of(record);
    if (!check_set(FN_XSetDumpLevel, r, name)) return 0;
    bool all = same(name, kDumpAll);
    if (!mask_allowed(kDumpRows, all ? kDumpGlobalRows : kDumpBindingRows, mask)) {
        lib_error(FN_XSetDumpLevel, R_XSetDumpLevel_BAD_ARGUMENT, 3);
        return 0;
    }
    if (all) {
        r->dump_mask = mask;
        return 1;
    }
    Binding *b = find_entry(r, name);
    if (b == nullptr) {
        lib_error(FN_XSetDumpLevel, R_XSetDumpLevel_NO_BINDING, 0);
        return 0;
    }
    b->dump_mask = mask;
    return 1;
}

XAPI int32_t XGetTraceLevel(XHANDLE record, const char *name, uint32_t *level) {
    Record *r = record_of(record);
    if (!check_get(FN_XGetTraceLevel, r, name, level)) return 0;
    if (same(name, kTopSection)) {
        *level = level_of_mask(kTraceRows, kTraceGlobalRows, r->trace_mask);
        return 1;
    }
    const Binding *b = find_binding(r, name);
    if (b == nullptr) {
        lib_error(FN_XGetTraceLevel, R_XGetTraceLevel_NO_BINDING, 0);
        return 0;
    }
    *level = level_of_mask(kTraceRows, kTraceGlobalRows, b->trace_mask);
    return 1;
}

XAPI int32_t XGetDumpLevel(XHANDLE record, const char *name, uint32_t *level) {
    Record *r = record_of(record);
    if (!check_get(FN_XGetDumpLevel, r, name, level)) return 0;
    if (same(name, kTopSection)) {
        *level = level_of_mask(kDumpRows, kDumpGlobalRows, r->dump_mask);
        return 1;
    }
    const Binding *b = find_binding(r, name);
    if (b == nullptr) {
        lib_error(FN_XGetDumpLevel, R_XGetDumpLevel_NO_BINDING, 0);
        return 0;
    }
    *level = level_of_mask(kDumpRows, kDumpGlobalRows, b->dump_mask);
    return 1;
}

}  // extern "C"

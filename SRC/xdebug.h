// The debug record and the pieces of trace and dump output that the debug
// modules share (xdebug.cpp: settings; xdebug_out.cpp: trace lines, dumps).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "xhandle.h"
#include "zaxxlib.h"

namespace zax::debug {

constexpr size_t kIdMax = 16;         // characters of a binding's ID
constexpr size_t kConsoleArea = 56;   // bytes that belong to the debug console
constexpr size_t kNameBuf = 256;      // trace file path with its terminator
constexpr uint32_t kMaxBindings = 255;

// One binding of the program: its name and its own masks.
struct Binding {
    char id[kIdMax + 1];
    int32_t trace_mask;  // 0, 4, 6 or 7
    int32_t dump_mask;   // 0 or 1
};

// The record behind a debug handle.
struct Record {
    HandleHeader header;
    uint32_t count;          // entries in table
    int32_t trace_mask;      // 0, 4, 6, 7, or -1: per binding
    int32_t dump_mask;       // 0, 1, or -1: per binding
    uint32_t tag;            // passed to every XAllocMemory made for the record
    XFILE file;              // trace file, or 0 for the debug console
    Binding *table;          // count entries, or null
    unsigned char console[kConsoleArea];  // the console component's own area
    char file_name[kNameBuf];             // trace file path, empty for the console
    // How a file line is written: false (the default) forces each line to the
    // disk before the call returns; true hands it to the system in one write.
    bool write_only;
};

// The debug record that h names, or null when it is none.
inline Record *record_of(XHANDLE h) { return handle_as<Record>(h, HandleKind::debug); }

inline constexpr char kAdministrator[] = "XP_ADMINISTRATOR";

// A binding name is 1 to 16 characters: a NUL within its first 17 bytes, not
// at the first.
inline bool valid_name(const char *name) {
    return name != nullptr && name[0] != '\0' && std::memchr(name, 0, kIdMax + 1) != nullptr;
}

// name (valid) may end before the 17 bytes of the reserved name: compared up
// to its terminator, never past it.
inline bool is_administrator(const char *name) {
    return std::strcmp(name, kAdministrator) == 0;
}

// The first binding whose ID equals name, or null.
inline const Binding *find_binding(const Record *r, const char *name) {
    for (uint32_t i = 0; i < r->count; ++i)
        if (std::strcmp(r->table[i].id, name) == 0) return &r->table[i];
    return nullptr;
}

// Whether the levels let a trace line of class cls through for name (valid).
inline bool trace_wanted(const Record *r, const char *name, int32_t cls) {
    if (r->trace_mask != -1) {
        if ((r->trace_mask & cls) != 0) return true;
        return is_administrator(name);
    }
    if (is_administrator(name)) return true;
    const Binding *b = find_binding(r, name);
    return b != nullptr && (b->trace_mask & cls) != 0;
}

// Whether the levels want a dump for name (valid).
inline bool dump_wanted(const Record *r, const char *name) {
    if (is_administrator(name)) return true;
    if (r->dump_mask != -1) return r->dump_mask != 0;
    const Binding *b = find_binding(r, name);
    return b != nullptr && b->dump_mask != 0;
}

constexpr size_t kStampLen = 8;      // HHMMSShh
constexpr size_t kNameCol = 9;       // binding name, 8 characters
constexpr size_t kNameShown = 8;
constexpr size_t kMessageCol = 18;   // message, up to 237 characters
constexpr size_t kMessageMax = 237;
constexpr size_t kRecordBuf = 1024;  // the trace record's buffer

// Builds a trace record in out (kRecordBuf bytes): time stamp, name and the
// first message_len (at most 237) bytes of message, NUL-terminated.  Returns
// the record's length.
size_t build_record(char *out, const XCalendar &now, const char *name, const char *message,
                    size_t message_len);

}  // namespace zax::debug

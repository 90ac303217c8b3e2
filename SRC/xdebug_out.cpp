// xdebug (output): trace lines and storage dumps, written to the debug
// record's trace file or handed to the debug console companion.  The level
// decision comes before the clock and the formatting, so that a line the
// levels filter out costs a few comparisons.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/clock.h"
#include "os/companion.h"
#include "os/file.h"
#include "xdebug.h"
#include "xformat.h"
#include "xint.h"

using namespace zax;
using namespace zax::debug;

namespace {

constexpr size_t kLineMax = 255;      // characters of a line for X_trace_out
constexpr size_t kFileLineMax = 254;  // characters before the line feed in a file
constexpr size_t kTitleMax = 255;     // characters of a dump title
constexpr size_t kImageBuf = 128;     // the caller's buffer of X_make_dump_image
constexpr int32_t kImageBytes = 16;   // bytes shown per image line
constexpr size_t kCharCol = 45;       // ">" of an image line

// The debug console companion and its entry point.
using PutConsole = int32_t (*)(void *area, const char *line);
constexpr char kConsoleLibrary[] = ZAX_COMPANION_FILE("zaxdput");
constexpr char kConsoleEntry[] = "XPutDebugConsole";
constexpr char kConsoleEnv[] = "ZAXXLIB_ZAXDPUT";
std::atomic<PutConsole> g_put_console{nullptr};

// Two decimal digits.
inline void put2(char *out, unsigned v) {
    out[0] = char('0' + v / 10 % 10);
    out[1] = char('0' + v % 10);
}

constexpr char kHex[] = "0123456789ABCDEF";

inline void put_hex(char *out, uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i, v >>= 4) out[i] = kHex[v & 0xF];
}

// The current local time of day, as XGetTime and XGetTimeDetail give it (the
// stamp shows no date); false with XGetTime's error recorded.
bool now(XCalendar &cal) {
    os::LocalTime t;
    if (int err = os::local_now(&t)) {
        sys_error(FN_XGetTime, R_XGetTime_CLOCK_FAILED, err);
        return false;
    }
    cal.hour = uint16_t(t.hour);
    cal.minute = uint16_t(t.minute);
    cal.second = uint16_t(t.second);
    cal.microsecond = uint32_t(t.millisecond) * 1000u;
    return true;
}

// Checks record, name and class as the trace calls do; false when refused.
bool check_trace(const Record *r, const char *name, int32_t cls) {
    if (r == nullptr) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 1);
        return false;
    }
    if (!valid_name(name)) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 2);
        return false;
    }
    if (cls != X_TRACE_HIGH && cls != X_TRACE_MEDIUM && cls != X_TRACE_LOW) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 3);
        return false;
    }
    return true;
}

// Builds the trace record for message and writes it.
int32_t write_record(Record *r, const char *name, const char *message, size_t message_len) {
    XCalendar cal;
    if (!now(cal)) return 0;
    char line[kRecordBuf + 2];
    build_record(line, cal, name, message, message_len);
    return X_trace_out(r, line);
}

int32_t trace_v(XHANDLE record, const char *name, int32_t cls, const char *format, va_list args) {
    Record *r = record_of(record);
    if (!check_trace(r, name, cls)) return 0;
    if (!trace_wanted(r, name, cls)) return 1;
    // A message that cannot be formatted (or no format at all) leaves the
    // record with the time stamp and the name alone.
    char message[kRecordBuf];
    message[0] = '\0';
    int n = format != nullptr ? format_bounded(message, sizeof message, format, args) : 0;
    if (n < 0) message[0] = '\0';
    size_t len = n < 0 ? 0 : size_t(n) < sizeof message ? size_t(n) : sizeof message - 1;
    // The formatter stops at nothing, the record at the first zero byte.
    len = strnlen(message, len);
    return write_record(r, name, message, len);
}

}  // namespace

namespace zax::debug {

size_t build_record(char *out, const XCalendar &cal, const char *name, const char *message,
                    size_t message_len) {
    put2(out, cal.hour);
    put2(out + 2, cal.minute);
    put2(out + 4, cal.second);
    put2(out + 6, cal.microsecond / 10000);  // hundredths of a second
    std::memset(out + kStampLen, ' ', kMessageCol - kStampLen);
    for (size_t i = 0; i < kNameShown && name[i] != '\0'; ++i) out[kNameCol + i] = name[i];
    if (message_len > kMessageMax) message_len = kMessageMax;
    std::memcpy(out + kMessageCol, message, message_len);
    out[kMessageCol + message_len] = '\0';
    return kMessageCol + message_len;
}

}  // namespace zax::debug

extern "C" {

XAPI int32_t XTrace(XHANDLE record, const char *name, int32_t cls, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = trace_v(record, name, cls, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XTraceH(XHANDLE record, const char *name, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = trace_v(record, name, X_TRACE_HIGH, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XTraceM(XHANDLE record, const char *name, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = trace_v(record, name, X_TRACE_MEDIUM, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XTraceL(XHANDLE record, const char *name, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = trace_v(record, name, X_TRACE_LOW, format, args);
    va_end(args);
    return r;
}

XAPI int32_t X_trace_out(XHANDLE record, char *line) {
    Record *r = record_of(record);
    if (r == nullptr) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 1);
        return 0;
    }
    if (line == nullptr) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 2);
        return 0;
    }
    size_t len = strnlen(line, kLineMax);
    if (r->file == 0) {
        // The console takes at most 255 characters: a longer line is ended
        // in the buffer's spare room.
        line[len] = '\0';
        return X_trace_out_to_default(record, line, int32_t(len));
    }
    // An empty line becomes an empty file line: the line feed alone.
    if (len > kFileLineMax) len = kFileLineMax;
    line[len] = '\n';
    line[len + 1] = '\0';
    int32_t put = XWriteFile(r->file, line, uint32_t(len + 1));
    if (put != int32_t(len + 1)) {
        // A line cut short by a full disk is taken out again, so that the
        // file holds whole lines only and the next line starts on its own.
        // The write's failure is what the record keeps.
        int64_t pos = 0;
        if (put > 0 && os::file_seek(r->file, -int64_t(put), 1, &pos) == 0)
            (void)os::file_truncate(r->file, pos);
        if (r->file != 0) (void)os::file_sync(r->file);
        return 0;
    }
    // Forced to the disk unless the record's durability is one write a line.
    return r->write_only || XFlushFile(r->file) == 1 ? 1 : 0;
}

XAPI int32_t X_trace_out_to_default(XHANDLE record, const char *line, int32_t length) {
    (void)length;  // the console takes the line up to its NUL
    Record *r = record_of(record);
    if (r == nullptr) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 1);
        return 0;
    }
    if (line == nullptr) {
        lib_error(FN_XTrace, R_XTrace_BAD_ARGUMENT, 2);
        return 0;
    }
    PutConsole put = g_put_console.load(std::memory_order_acquire);
    if (put == nullptr) {
        os::CompanionFailure why = os::kCompanionLoaded;
        put = reinterpret_cast<PutConsole>(
            os::companion_entry(kConsoleLibrary, kConsoleEnv, kConsoleEntry, &why));
        if (put == nullptr) {
            lib_error(FN_XTrace, R_XTrace_NO_CONSOLE, uint32_t(why));
            return 0;
        }
        g_put_console.store(put, std::memory_order_release);
    }
    return put(r->console, line);
}

XAPI int32_t XDump(XHANDLE record, const char *name, const char *title, const void *address,
                   int32_t size) {
    Record *r = record_of(record);
    uint32_t bad = r == nullptr ? 1 : !valid_name(name) ? 2 : address == nullptr ? 4 : size < 1 ? 5 : 0;
    if (bad != 0) {
        lib_error(FN_XDump, R_XDump_BAD_ARGUMENT, bad);
        return 0;
    }
    if (!dump_wanted(r, name)) return 1;
    // An empty title is taken as no title: a record with no message would
    // say nothing.
    if (title != nullptr && title[0] != '\0')
        if (write_record(r, name, title, strnlen(title, kTitleMax)) == 0) return 0;
    return X_dump_out(record, address, size);
}

XAPI int32_t X_dump_out(XHANDLE record, const void *address, int32_t size) {
    if (record_of(record) == nullptr) {
        lib_error(FN_XDump, R_XDump_BAD_ARGUMENT, 1);
        return 0;
    }
    if (address == nullptr && size > 0) {
        lib_error(FN_XDump, R_XDump_BAD_ARGUMENT, 2);
        return 0;
    }
    // Two spare bytes after the longest line for the file's line feed.
    char line[kImageBuf + 2];
    constexpr int kAddressDigits = int(sizeof(void *) * 2);
    put_hex(line, uint64_t(reinterpret_cast<uintptr_t>(address)), kAddressDigits);
    line[kAddressDigits] = '\0';
    if (X_trace_out(record, line) == 0) return 0;
    for (int32_t offset = 0; offset < size;) {
        X_make_dump_image(address, size, &offset, line);
        if (X_trace_out(record, line) == 0) return 0;
    }
    return 1;
}

XAPI int32_t X_make_dump_image(const void *address, int32_t size, int32_t *offset, char *line) {
    uint32_t bad = address == nullptr ? 1 : offset == nullptr ? 3 : line == nullptr ? 4 : 0;
    if (bad == 0 && (*offset < 0 || *offset >= size)) bad = 3;
    if (bad != 0) {
        lib_error(FN_XDump, R_XDump_BAD_ARGUMENT, bad);
        return 0;
    }
    const unsigned char *bytes = static_cast<const unsigned char *>(address) + *offset;
    int32_t shown = size - *offset < kImageBytes ? size - *offset : kImageBytes;
    std::memset(line, ' ', kImageBuf);
    put_hex(line, uint32_t(*offset), 8);
    char *hex = line + 9;
    for (int32_t i = 0; i < shown; ++i) {
        put_hex(hex, bytes[i], 2);
        hex += (i % 4 == 3) ? 3 : 2;  // a space after every fourth byte
    }
    line[kCharCol] = '>';
    char *text = line + kCharCol + 1;
    for (int32_t i = 0; i < shown; ++i) {
        unsigned char b = bytes[i];
        bool shown_as_is = (b >= 0x20 && b <= 0x7E) || (b >= 0xA1 && b <= 0xDF);
        text[i] = shown_as_is ? char(b) : '.';
    }
    text[shown] = '<';
    text[shown + 1] = '\0';
    *offset += shown;
    return 1;
}

}  // extern "C"

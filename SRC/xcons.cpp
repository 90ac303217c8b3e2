// xcons: console and log messages.  Everything goes to standard output,
// standard error or a file; each message is formatted into a fixed buffer
// with a bounded formatter, so no message can overrun it, and is written by
// one call so that messages of several threads interleave only whole.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "xformat.h"
#include "xint.h"

using namespace zax;

namespace {

constexpr size_t kFormatBuf = 384;  // the formatting buffer
constexpr size_t kLineMax = 124;    // characters of a message that are written
constexpr size_t kTitleMax = 34;    // operator message: title characters
constexpr size_t kMultiLineMax = 70;
constexpr uint32_t kMultiLines = 9;
constexpr size_t kMultiBuf = (kTitleMax + 1) + kMultiLines * (kMultiLineMax + 1);
static_assert(kMultiBuf == 674, "title and nine lines, each with its line feed");

// How a one-line message function records its failures: the kinds differ
// between the functions, and XPrintfToLog records the formatter's result
// instead of errno.
struct LineErrors {
    Fn fn;
    uint32_t format_kind;
    bool format_detail_is_result;
    uint32_t write_kind;
};

constexpr LineErrors kPrintf{FN_XPrintf, kSystem, false, kSystem};
constexpr LineErrors kWto{FN_XWto, kLibrary, false, kLibrary};
constexpr LineErrors kToLog{FN_XPrintfToLog, kLibrary, true, kLibrary};
constexpr Reason kNoFormat =
    same_reason(R_XPrintf_BAD_ARGUMENT, R_XWto_BAD_ARGUMENT, R_XPrintfToLog_BAD_ARGUMENT);
constexpr Reason kFormatFailed =
    same_reason(R_XPrintf_FORMAT_FAILED, R_XWto_FORMAT_FAILED, R_XPrintfToLog_FORMAT_FAILED);
constexpr Reason kWriteFailed =
    same_reason(R_XPrintf_WRITE_FAILED, R_XWto_WRITE_FAILED, R_XPrintfToLog_WRITE_FAILED);

// Formats into buf and cuts after kLineMax characters; the length, or -1
// with the failure recorded.
int format_line(const LineErrors &e, char (&buf)[kFormatBuf], const char *format, va_list args) {
    std::memset(buf, 0, sizeof buf);
    errno = 0;
    int n = format_bounded(buf, sizeof buf, format, args);
    if (n < 0) {
        uint32_t detail = e.format_detail_is_result ? uint32_t(n) : uint32_t(errno);
        record_error(e.fn, kFormatFailed, detail, e.format_kind);
        return -1;
    }
    size_t len = std::strlen(buf);
    if (len > kLineMax) len = kLineMax;
    buf[len] = '\0';
    return int(len);
}

// Writes text with fmt to stream and flushes it, also after a failed write.
// A stream that is buffered reports a failed write only at the flush, so a
// failed flush counts as a failed write.  0, or the errno of the failure.
int write_stream(FILE *stream, const char *fmt, const char *text) {
    errno = 0;
    int err = 0;
    if (std::fprintf(stream, fmt, text) < 0) err = errno != 0 ? errno : EIO;
    errno = 0;
    if (std::fflush(stream) != 0 && err == 0) err = errno != 0 ? errno : EIO;
    return err;
}

int32_t print_line(const LineErrors &e, const char *format, va_list args) {
    if (format == nullptr) {
        lib_error(e.fn, kNoFormat, 1);
        return 0;
    }
    char buf[kFormatBuf];
    if (format_line(e, buf, format, args) < 0) return 0;
    if (int err = write_stream(stdout, "%s\n", buf)) {
        record_error(e.fn, kWriteFailed, uint32_t(err), e.write_kind);
        return 0;
    }
    return 1;
}

// Appends text up to its first zero byte within limit bytes, then a line
// feed.  A null text gives an empty line.
size_t append_part(char *out, const char *text, size_t limit) {
    size_t n = 0;
    if (text != nullptr)
        while (n < limit && text[n] != '\0') ++n;
    if (n > 0) std::memcpy(out, text, n);
    out[n] = '\n';
    return n + 1;
}

}  // namespace

extern "C" {

XAPI int32_t XPrintf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = print_line(kPrintf, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XWto(const char *format, int32_t a, int32_t b, int32_t c, ...) {
    // a, b and c are routing values of the host systems' operator consoles;
    // here the message's values start after them.
    (void)a;
    (void)b;
    va_list args;
    va_start(args, c);
    int32_t r = print_line(kWto, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XPrintfToLog(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = print_line(kToLog, format, args);
    va_end(args);
    return r;
}

XAPI int32_t XWtoMulti(const char *title, const char *const *lines, uint32_t count) {
    if (title == nullptr && lines == nullptr) {
        lib_error(FN_XWtoMulti, R_XWtoMulti_BAD_ARGUMENT, 0);
        return 0;
    }
    if (count > kMultiLines) {
        lib_error(FN_XWtoMulti, R_XWtoMulti_BAD_ARGUMENT, 3);
        return 0;
    }
    char buf[kMultiBuf + 1] = {};  // one more byte keeps a full message terminated
    size_t len = 0;
    if (title != nullptr) len += append_part(buf + len, title, kTitleMax);
    // No line array means no lines, whatever the count says.
    if (lines != nullptr)
        for (uint32_t i = 0; i < count; ++i) len += append_part(buf + len, lines[i], kMultiLineMax);
    if (int err = write_stream(stdout, "%s", buf)) {
        lib_error(FN_XWtoMulti, R_XWtoMulti_WRITE_FAILED, uint32_t(err));
        return 0;
    }
    return 1;
}

XAPI int32_t XFprintf(int32_t target, const char *format, ...) {
    if (target == 0) {
        lib_error(FN_XFprintf, R_XFprintf_BAD_ARGUMENT, 1);
        return 0;
    }
    if (format == nullptr) {
        lib_error(FN_XFprintf, R_XFprintf_BAD_ARGUMENT, 2);
        return 0;
    }
    // Two bytes of room after the longest line for its line feed and zero.
    char buf[kFormatBuf];
    std::memset(buf, 0, sizeof buf);
    va_list args;
    va_start(args, format);
    errno = 0;
    int n = format_bounded(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) {
        sys_error(FN_XFprintf, R_XFprintf_FORMAT_FAILED, errno);
        return 0;
    }
    size_t len = std::strlen(buf);
    if (len > kLineMax) len = kLineMax;
    buf[len] = '\n';
    buf[len + 1] = '\0';
    if (target == 1 || target == -1) {
        if (int err = write_stream(target == 1 ? stdout : stderr, "%s", buf)) {
            sys_error(FN_XFprintf, R_XFprintf_WRITE_FAILED, err);
            return 0;
        }
        return 1;
    }
    return XWriteFile(target, buf, uint32_t(len + 1)) == int32_t(len + 1) ? 1 : 0;
}

XAPI int32_t XDeleteMsg(uint32_t message) {
    // Operator messages here are plain lines on standard output: there is
    // nothing to take back.
    (void)message;
    return 1;
}

}  // extern "C"

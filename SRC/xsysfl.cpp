// xsysfl: the system description file "XSYSTEM", a parameter file in the
// directory named by ZAXXLIB_XSYSTEM (or the current directory), whose
// entries override what the library learns from the system itself.
#include <cstddef>
#include <cstring>

#include "xint.h"
#include "xsysfl.h"

using namespace zax;

static_assert(sizeof(XSystemInfo) == 444, "the system-information record is 444 bytes");
static_assert(offsetof(XSystemInfo, sbcs) == 32 && offsetof(XSystemInfo, byte_order) == 38 &&
                  offsetof(XSystemInfo, x_resolution) == 40,
              "codes and resolution follow the eight words");
static_assert(offsetof(XSystemInfo, machine) == 52 && offsetof(XSystemInfo, location) == 86 &&
                  offsetof(XSystemInfo, user_id) == 96 && offsetof(XSystemInfo, jes) == 130 &&
                  offsetof(XSystemInfo, job) == 136 && offsetof(XSystemInfo, step) == 394 &&
                  offsetof(XSystemInfo, reserved2) == 404,
              "the names lie back to back");

namespace {

struct Code {
    const char *text;
    uint32_t value;
};

// Each table ends with "END OF KEY".
const Code kPlatforms[] = {{"MAINFRAME", 100}, {"UNIX", 200}, {"WINDOWS", 300},
                           {"AS400", 400}, {"END OF KEY", 0}};
const Code kSystems[] = {{"MVS", 110},   {"MSP", 120},     {"VOS", 130},   {"XSP", 140},
                         {"HPUX", 210},  {"SOLARIS", 220}, {"AIX", 230},   {"HIUX", 240},
                         {"DS90", 250},  {"NCR", 260},     {"LINUX", 270}, {"WINNT", 310},
                         {"WIN95", 320}, {"WIN98", 330},   {"OS400", 410}, {"END OF KEY", 0}};
const Code kByteOrders[] = {{"BIG", 1}, {"LITTLE", 2}, {"END OF KEY", 0}};
const Code kSingleByte[] = {
    {"EBCDIC", 16}, {"ASCIIZ", 32}, {"EBCDICK", 80}, {"EBCDICA", 96}, {"END OF KEY", 0}};
const Code kMultiByte[] = {{"IKANJI", 145}, {"FKANJI", 146}, {"HKANJI", 147},
                           {"JIS", 164},    {"SJIS", 165},   {"UNICODE", 176},
                           {"EUC", 192},    {"END OF KEY", 0}};

constexpr int32_t kCodeText = 12;  // coded values are read as at most 12 characters

// A read that found no section, key or value is no failure: the field stays.
bool absent(uint32_t code) {
    return code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_SECTION) ||
           code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_KEY) ||
           code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_VALUE);
}

enum Outcome { kStored, kAbsent, kFailed };

// The reads below keep the caller's error record when an entry is absent.
Outcome read_int(XHANDLE h, const char *section, const char *key, int32_t &out) {
    SavedError before;
    if (XReadParmInt(h, section, key, &out)) return kStored;
    if (absent(XGetLastError(nullptr))) {
        before.restore();
        return kAbsent;
    }
    return kFailed;
}

Outcome read_code(XHANDLE h, const char *section, const char *key, const Code *table,
                  uint32_t detail, uint32_t &out) {
    SavedError before;
    char text[kCodeText + 1] = {};
    int32_t len = XReadParmStr(h, section, key, text, kCodeText);
    if (len == 0) {
        if (absent(XGetLastError(nullptr))) {
            before.restore();
            return kAbsent;
        }
        return kFailed;
    }
    if (len <= kCodeText)
        for (const Code *c = table; std::strcmp(c->text, "END OF KEY") != 0; ++c)
            if (std::strcmp(c->text, text) == 0) {
                out = c->value;
                return kStored;
            }
    lib_error(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_UNKNOWN_CODE, detail);
    return kFailed;
}

// A string is stored only when it fits its limit; the field is cleared first.
Outcome read_text(XHANDLE h, const char *key, char *field, size_t field_size, int32_t limit,
                  uint32_t detail) {
    SavedError before;
    char text[260];
    int32_t len = XReadParmStr(h, "LOCATION", key, text, limit);
    if (len == 0) {
        if (absent(XGetLastError(nullptr))) {
            before.restore();
            return kAbsent;
        }
        return kFailed;
    }
    if (len > limit) {
        lib_error(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_TOO_LONG, detail);
        return kFailed;
    }
    std::memset(field, 0, field_size);
    std::memcpy(field, text, size_t(len));
    return kStored;
}

bool read_entries(XHANDLE h, XSystemInfo *r) {
    int32_t n = 0;
    uint32_t c = 0;
    Outcome o;
#define ZAX_INT(section, key, field)                          \
    if ((o = read_int(h, section, key, n)) == kFailed) return false; \
    if (o == kStored) r->field = decltype(r->field)(n);
#define ZAX_CODE(section, key, table, detail, field)                            \
    if ((o = read_code(h, section, key, table, detail, c)) == kFailed) return false; \
    if (o == kStored) r->field = decltype(r->field)(c);
#define ZAX_TEXT(key, field, limit, detail) \
    if (read_text(h, key, r->field, sizeof r->field, limit, detail) == kFailed) return false;

    ZAX_CODE("OS", "PLATFORM", kPlatforms, 1, platform)
    ZAX_CODE("OS", "NAME", kSystems, 2, os_name)
    ZAX_INT("OS", "MAJORVER", os_major)
    ZAX_INT("OS", "MINORVER", os_minor)
    ZAX_INT("OS", "LEVEL", os_level)
    ZAX_INT("CPU", "NAME", cpu_name)
    ZAX_INT("CPU", "NUM", cpu_count)
    ZAX_TEXT("NAME", location, 8, 1)
    ZAX_TEXT("MACHINE", machine, 32, 2)
    ZAX_TEXT("USERID", user_id, 32, 3)
    ZAX_TEXT("JOB", job, 256, 5)
    ZAX_TEXT("STEP", step, 8, 6)
    ZAX_TEXT("JES", jes, 4, 4)
    ZAX_INT("CODE", "WORDSIZE", word_size)
    ZAX_CODE("CODE", "BYTEORDER", kByteOrders, 3, byte_order)
    ZAX_CODE("CODE", "SBCS", kSingleByte, 4, sbcs)
    ZAX_CODE("CODE", "MBCS", kMultiByte, 5, mbcs)
    ZAX_INT("DISPLAY", "COLOR", colors)
    ZAX_INT("DISPLAY", "XRES", x_resolution)
    ZAX_INT("DISPLAY", "YRES", y_resolution)
#undef ZAX_INT
#undef ZAX_CODE
#undef ZAX_TEXT
    return true;
}

}  // namespace

XHANDLE zax::open_config_file(const char *name) {
    char dir[257] = {};
    SavedError before;
    int32_t len = XReadEnvStr("ZAXXLIB", "XSYSTEM", nullptr, dir, 256);
    if (len <= 0 || len > 256) {
        before.restore();
        len = 0;
    }
    return XOpenParmFile(len > 0 ? dir : nullptr, name);
}

extern "C" {

XAPI int32_t XGetSystemInfoFile(XSystemInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_BAD_ARGUMENT, 1);
        return 0;
    }
    XHANDLE h = open_config_file("XSYSTEM");
    if (h == X_FAILED_PTR) return 0;
    bool ok = read_entries(h, record);
    SavedError result;
    XCloseParmFile(h);  // a read-only handle closes without writing
    result.restore();
    return ok ? 1 : 0;
}

}  // extern "C"

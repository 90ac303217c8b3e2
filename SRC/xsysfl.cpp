// xsysfl: the system description file "XSYSTEM", a parameter file in the
// directory named by ZAXXLIB_XSYSTEM (or the current directory), whose
// entries override what the library learns from the system itself.
#include <cstddef>
#include <cstring>

#include "os/env.h"
#include "xint.h"
#include "xparm.h"
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
bool absent(const Status &s) {
    return s.code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_SECTION) ||
           s.code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_KEY) ||
           s.code == code_of(FN_XReadParmStr, R_XReadParmStr_NO_VALUE);
}

// The reads below set stored when they store; an absent entry is no failure.
Status read_int(parm::File *f, const char *section, const char *key, int32_t &out, bool &stored) {
    Status s = parm::read_int(f, section, key, &out);
    stored = !s.failed();
    return absent(s) ? Status{} : s;
}

Status read_code(parm::File *f, const char *section, const char *key, const Code *table,
                 uint32_t detail, uint32_t &out, bool &stored) {
    char text[kCodeText + 1] = {};
    int32_t len = 0;
    stored = false;
    if (Status s = parm::read_str(f, section, key, text, kCodeText, &len); s.failed())
        return absent(s) ? Status{} : s;
    if (len <= kCodeText)
        for (const Code *c = table; std::strcmp(c->text, "END OF KEY") != 0; ++c)
            if (std::strcmp(c->text, text) == 0) {
                out = c->value;
                stored = true;
                return {};
            }
    return lib_status(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_UNKNOWN_CODE, detail);
}

// A string is stored only when it fits its limit; the field is cleared first.
Status read_text(parm::File *f, const char *key, char *field, size_t field_size, int32_t limit,
                 uint32_t detail) {
    char text[260];
    int32_t len = 0;
    if (Status s = parm::read_str(f, "LOCATION", key, text, limit, &len); s.failed())
        return absent(s) ? Status{} : s;
    if (len > limit)
        return lib_status(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_TOO_LONG, detail);
    std::memset(field, 0, field_size);
    std::memcpy(field, text, size_t(len));
    return {};
}

Status read_entries(parm::File *f, XSystemInfo *r) {
    int32_t n = 0;
    uint32_t c = 0;
    bool stored = false;
#define ZAX_INT(section, key, field)                                           \
    if (Status s = read_int(f, section, key, n, stored); s.failed()) return s; \
    if (stored) r->field = decltype(r->field)(n);
#define ZAX_CODE(section, key, table, detail, field)                                           \
    if (Status s = read_code(f, section, key, table, detail, c, stored); s.failed()) return s; \
    if (stored) r->field = decltype(r->field)(c);
#define ZAX_TEXT(key, field, limit, detail)                                                 \
    if (Status s = read_text(f, key, r->field, sizeof r->field, limit, detail); s.failed()) \
        return s;
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
    return {};
}

}  // namespace

Status zax::open_config_file(const char *name, parm::File **out) {
    char dir[257] = {};
    long len = os::env_get("ZAXXLIB_XSYSTEM", dir, sizeof dir);
    return parm::open(FN_XOpenParmFile, len > 0 && len <= 256 ? dir : nullptr, name, false, out);
}

extern "C" {

XAPI int32_t XGetSystemInfoFile(XSystemInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetSystemInfoFile, R_XGetSystemInfoFile_BAD_ARGUMENT, 1);
        return 0;
    }
    parm::File *f = nullptr;
    Status s = open_config_file("XSYSTEM", &f);
    if (!s.failed()) {
        s = read_entries(f, record);
        (void)parm::close(f);  // a read-only file closes without writing
    }
    return recorded(s);
}

}  // extern "C"

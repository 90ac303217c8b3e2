// xsysfc: system and process information, unique keys.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "os/env.h"
#include "os/sysinfo.h"
#include "xfile.h"
#include "xint.h"

using namespace zax;

static_assert(sizeof(XSystemInfo) == 444, "the system-information record is 444 bytes");
static_assert(offsetof(XSystemInfo, sbcs) == 32 && offsetof(XSystemInfo, byte_order) == 38 &&
                  offsetof(XSystemInfo, x_resolution) == 40 && offsetof(XSystemInfo, machine) == 52 &&
                  offsetof(XSystemInfo, location) == 86 && offsetof(XSystemInfo, user_id) == 96 &&
                  offsetof(XSystemInfo, jes) == 130 && offsetof(XSystemInfo, job) == 136 &&
                  offsetof(XSystemInfo, step) == 394 && offsetof(XSystemInfo, reserved2) == 404,
              "fields at their fixed offsets");

namespace {

// The multi-byte code that goes with a platform and an operating system.
uint16_t mbcs_of(uint32_t platform, uint32_t os_name) {
    switch (platform) {
        case 100:
            if (os_name == 110) return 145;                   // MVS: IKANJI
            if (os_name == 120 || os_name == 140) return 146;  // MSP, XSP: FKANJI
            if (os_name == 130) return 147;                   // VOS: HKANJI
            return 0;
        case 200:
        case 300:
            return 165;  // SJIS
        case 400:
            return 145;
        default:
            return 0;
    }
}

// Colours: 2 to the bits per pixel, minus 1, in 32-bit arithmetic.
uint32_t colours_of(uint32_t bits) {
    if (bits <= 1) return 1;
    if (bits >= 32) return 0xFFFFFFFFu;
    return (uint32_t(1) << bits) - 1;
}

// The names, each only when the one before could be had: 1, or 0 with the
// failing step's reason recorded.
bool fill_names(XSystemInfo *r) {
    char country[16];
    if (int err = os::locale_country(country, sizeof country)) {
        sys_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_COUNTRY_FAILED, err);
        return false;
    }
    std::memcpy(r->location, country, std::strlen(country) > 3 ? 3 : std::strlen(country));
    if (int err = os::session_title(r->job, 257)) {
        r->job[0] = '\0';
        sys_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_SESSION_TITLE_FAILED, err);
        return false;
    }
    if (int err = os::host_name(r->machine, 33)) {
        sys_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_HOST_NAME_FAILED, err);
        return false;
    }
    if (int err = os::user_name(r->user_id, 33)) {
        sys_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_USER_NAME_FAILED, err);
        return false;
    }
    return true;
}

// The last unique stamp of the process: (day << 16 | minute) in the high
// half and the hundredths of a second within that minute in the low half, one
// word so that both change together; all ones before the first key.
constexpr uint64_t kNoKeyYet = ~uint64_t(0);
std::atomic<uint64_t> g_last{kNoKeyYet};

}  // namespace

extern "C" {

XAPI int32_t XGetSystemInfoFunc(XSystemInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_BAD_ARGUMENT, 1);
        return 0;
    }
    std::memset(record, 0, sizeof *record);
    XOsInfo os{};
    record->platform = uint32_t(XGetOsInfo(&os));
    record->os_name = os.os_name;
    record->os_major = os.major;
    record->os_minor = os.minor;
    record->os_level = os.build;
    record->cpu_name = os::cpu_type();
    record->cpu_count = os::cpu_count();

    bool names = fill_names(record);

    record->sbcs = 32;
    record->mbcs = mbcs_of(record->platform, record->os_name);
    record->word_size = uint16_t(sizeof(void *) * 8);
    const uint32_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    record->byte_order = first == 1 ? X_BYTEORDER_LITTLE : X_BYTEORDER_BIG;

    bool display = true;
    uint32_t w = 0, h = 0, bits = 0;
    int err = os::screen(&w, &h, &bits);
    if (err == 0) {
        record->x_resolution = w;
        record->y_resolution = h;
        record->colors = colours_of(bits);
    } else if (err != ENOENT && err != ENODEV && err != ENXIO && err != EACCES && err != EPERM) {
        // A machine without a frame buffer, or one that this user may not
        // open (most desktops keep it to the video group), has no screen to
        // describe; a frame buffer that opens but cannot be read is the
        // failure.
        record_error(FN_XGetSystemInfoFunc, R_XGetSystemInfoFunc_NO_DISPLAY, 0, kSystem);
        display = false;
    }
    return names && display ? 1 : 0;
}

XAPI int32_t XGetSystemInfo(XSystemInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetSystemInfo, R_XGetSystemInfo_BAD_ARGUMENT, 1);
        return 0;
    }
    int32_t from_system = XGetSystemInfoFunc(record);  // its failure stays recorded
    char dir[257] = {};
    long len = os::env_get("ZAXXLIB_XSYSTEM", dir, sizeof dir);
    char path[300];
    if (len > 0 && len <= 256)
        std::snprintf(path, sizeof path, "%s/XSYSTEM", dir);
    else
        std::snprintf(path, sizeof path, "XSYSTEM");
    Status s = file::exists(path);
    if (!s.failed()) return XGetSystemInfoFile(record);
    // No file: the system's answer stands, with its failure as recorded; after
    // a success the absence of the file is what the record shows. Any other
    // failure of the search is the result.
    bool absent = s.code == code_of(FN_XExistFile, R_XExistFile_NOT_FOUND);
    if (!absent || from_system == 1) record_failure(s);
    return absent ? from_system : 0;
}

XAPI int32_t XGetUniqueKey(void *key) {
    if (key == nullptr) {
        lib_error(FN_XGetUniqueKey, R_XGetUniqueKey_BAD_ARGUMENT, 1);
        return 0;
    }
    for (;;) {
        XClock now{};
        if (XGetTime(&now) != 1) return 0;
        // (day, minute) as one number that grows with time, and the
        // hundredths of a second within the minute.
        uint64_t stamp = (uint64_t((uint32_t(now.day) << 16) | now.minute) << 32) |
                         (now.microsecond / 10000);
        uint64_t last = g_last.load(std::memory_order_acquire);
        if (last != kNoKeyYet && stamp <= last) {
            XSleep(10);
            continue;
        }
        // Another thread that got in between took a key: this reading is
        // stale and the clock is read again.
        if (!g_last.compare_exchange_strong(last, stamp, std::memory_order_acq_rel)) continue;
        XCalendar cal{};
        auto *bytes = static_cast<uint8_t *>(key);
        if (XGetTimeDetail(&now, &cal) != 1 || XPackDate(&cal, bytes) != 1 ||
            XPackTime(&cal, bytes + 4) != 1)
            return 0;
        return 1;
    }
}

}  // extern "C"

// xsystem: identity queries and object keys.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "os/sys.h"
#include "store/regstore.h"
#include "xint.h"

using namespace zax;

static_assert(sizeof(XOsInfo) == 16, "four 32-bit fields");
static_assert(offsetof(XProcInfo, pid_text) == 12 && sizeof(XProcInfo) == 24,
              "pid, two words, 9 text bytes");
static_assert(sizeof(XThreadInfo) == 12 && offsetof(XThreadInfo, tid2) == 8, "three words");

extern "C" {

XAPI int32_t XGetOsInfo(XOsInfo *info) {
    if (info != nullptr) {
        uint32_t major, minor, patch;
        if (os::kernel_release(&major, &minor, &patch) == 0) {
            info->os_name = X_OS_LINUX;
            info->major = major;
            info->minor = minor;
            info->build = patch;
        }
    }
    return X_PLATFORM_UNIX;
}

XAPI int32_t XGetProcInfo(XProcInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetProcInfo, R_XGetProcInfo_BAD_ARGUMENT, 1);
        return 0;
    }
    record->pid = os::process_id();
    record->reserved = 0;
    std::snprintf(record->pid_text, sizeof record->pid_text, "%08X", record->pid);
    return 1;
}

XAPI int32_t XGetThreadInfo(XThreadInfo *record) {
    if (record == nullptr) {
        lib_error(FN_XGetThreadInfo, R_XGetThreadInfo_BAD_ARGUMENT, 1);
        return 0;
    }
    record->tid = os::thread_id();
    record->tid2 = record->tid;
    return 1;
}

XAPI uint32_t XMakeKey(int32_t kind, const char *code, uint32_t group, uint32_t number) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (code == nullptr || !digit(code[0]) || !digit(code[1])) {
        lib_error(FN_XMakeKey, R_XMakeKey_BAD_ARGUMENT, 2);
        return 0;
    }
    if (group >= 256) {
        lib_error(FN_XMakeKey, R_XMakeKey_BAD_ARGUMENT, 3);
        return 0;
    }
    if (number >= 4096) {
        lib_error(FN_XMakeKey, R_XMakeKey_BAD_ARGUMENT, 4);
        return 0;
    }
    if (kind < 1 || kind > 4) {
        lib_error(FN_XMakeKey, R_XMakeKey_BAD_ARGUMENT, 1);
        return 0;
    }
    uint32_t packed = uint32_t(code[0] - '0') * 16 + uint32_t(code[1] - '0');
    return uint32_t(kind) * 0x10000000u + group * 0x100000u + packed * 0x1000u + number;
}

// Asks the store directly rather than through XOpenRegistry: the key lies
// outside "SOFTWARE\ZAX\", and this call must leave the error record alone.
// A missing database is not created by the look.
XAPI int32_t X_IsServer(void) {
    reg::Key *key = nullptr;
    if (os::no_throw([&] {
            return reg::open_key(reg::Hive::machine,
                                     "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", false,
                                     reg::kRead, key);
        }) != 0)
        return 0;
    uint32_t type = 0;
    std::string data;
    int err = os::no_throw([&] { return reg::get_value(key, "ProductType", 128, type, data); });
    reg::close_key(key);
    if (err != 0) return 0;
    // Compared with its terminating zero: "WinNT" matches, "WinNTx" does not.
    return data.size() >= 5 && std::memcmp(data.data(), "WinNT", 5) == 0 &&
                   (data.size() == 5 || data[5] == '\0')
               ? 1
               : 0;
}

}  // extern "C"

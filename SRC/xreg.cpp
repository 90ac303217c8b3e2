// xreg: the registry. Keys below "SOFTWARE\ZAX\" of the machine-wide or the
// per-user hive, opened by product name and sub-key, with 32-bit integer and
// string values. The store underneath (store/regstore.h) keeps one database per
// hive; its error numbers are what the reasons of kind 1 record.
#include <cerrno>
#include <cstring>
#include <string>

#include "os/sys.h"
#include "store/regstore.h"
#include "xhandle.h"
#include "xint.h"

using namespace zax;

namespace {

constexpr size_t kPathBuffer = 260;  // a key path and its terminating zero
constexpr size_t kStrReadMax = 260;  // bytes of string data a read takes
constexpr size_t kStrWriteMax = 259; // bytes of string data a write stores
constexpr size_t kScanMax = 261;     // where a write looks for the text's end
constexpr size_t kListBuffer = 260;  // names and data read by XListRegValue

bool hive_of(uint32_t hive, reg::Hive &out) {
    if (hive == HKEY_LOCAL_MACHINE) {
        out = reg::Hive::machine;
        return true;
    }
    if (hive == HKEY_CURRENT_USER) {
        out = reg::Hive::user;
        return true;
    }
    return false;
}

// "SOFTWARE\ZAX\" + product, then "\" + subkey when one is given. The path
// must fit the 260-byte buffer the family's programs size it for.
int key_path(const char *product, const char *subkey, std::string &path) {
    static constexpr char kRoot[] = "SOFTWARE\\ZAX\\";
    // Measured within the buffer's size first: a huge name is refused
    // without being copied.
    size_t plen = strnlen(product, kPathBuffer);
    size_t slen = subkey != nullptr ? strnlen(subkey, kPathBuffer) : 0;
    if (sizeof kRoot - 1 + plen + (slen > 0 ? 1 + slen : 0) >= kPathBuffer) return ENAMETOOLONG;
    return os::no_throw([&] {
        path.reserve(kPathBuffer);
        path.assign(kRoot).append(product, plen);
        if (slen > 0) path.append(1, '\\').append(subkey, slen);
        return 0;
    });
}

// The record behind a registry handle.
struct KeyRecord {
    HandleHeader header;
    reg::Key *key;
};

// The open key of h, or null with reason (detail 1) recorded under fn.
reg::Key *key_of(XHANDLE h, Fn fn, Reason reason) {
    auto *rec = handle_get<KeyRecord>(h, HandleKind::registry, fn, reason);
    return rec != nullptr ? rec->key : nullptr;
}

// Length of string data: up to its first zero byte, or all of it.
size_t string_length(const std::string &data) {
    const void *zero = std::memchr(data.data(), 0, data.size());
    return zero != nullptr ? size_t(static_cast<const char *>(zero) - data.data()) : data.size();
}

// XListRegKey on an open key, its arguments checked.
int32_t sub_key(reg::Key *key, int32_t index, char *buffer, int32_t size) {
    std::string name;
    int err = os::no_throw([&] { return reg::sub_key_at(key, uint32_t(index), name); });
    if (err == ENODATA) return -1;
    if (err != 0) {
        sys_error(FN_XListRegKey, R_XListRegKey_LIST_FAILED, err);
        return -3;
    }
    size_t room = size > 0 ? size_t(size) : 0;
    if (name.size() > room) {
        std::memcpy(buffer, name.data(), room);
        return -2;
    }
    std::memcpy(buffer, name.data(), name.size());
    return int32_t(name.size());
}

// Runs op on the key opened with access, then closes the key; 0 when it
// cannot be opened.
template <class Op>
int32_t with_key(uint32_t hive, const char *product, const char *subkey, uint32_t access, Op op) {
    XHANDLE key = XOpenRegistry(hive, product, subkey, access);
    if (key == X_FAILED_PTR) return 0;
    int32_t r = op(key);
    XCloseRegistry(key);
    return r;
}

}  // namespace

extern "C" {

XAPI XHANDLE XOpenRegistry(uint32_t hive, const char *product, const char *subkey,
                           int32_t access) {
    reg::Hive h;
    if (!hive_of(hive, h)) {
        lib_error(FN_XOpenRegistry, R_XOpenRegistry_BAD_ARGUMENT, 1);
        return X_FAILED_PTR;
    }
    if (product == nullptr) {
        lib_error(FN_XOpenRegistry, R_XOpenRegistry_BAD_ARGUMENT, 2);
        return X_FAILED_PTR;
    }
    if (access != X_REG_READ && access != X_REG_WRITE && access != X_REG_ALL) {
        lib_error(FN_XOpenRegistry, R_XOpenRegistry_BAD_ARGUMENT, 4);
        return X_FAILED_PTR;
    }
    bool create = access != X_REG_READ;
    Reason reason = create ? R_XOpenRegistry_CREATE_FAILED : R_XOpenRegistry_OPEN_FAILED;
    std::string path;
    reg::Key *key = nullptr;
    int err = key_path(product, subkey, path);
    if (err == 0) {
        uint32_t rights = access == X_REG_READ ? reg::kRead
                          : access == X_REG_WRITE ? reg::kWrite
                                                  : reg::kAll;
        err = os::no_throw([&] { return reg::open_key(h, path, create, rights, key); });
    }
    if (err != 0) {
        sys_error(FN_XOpenRegistry, reason, err);
        return X_FAILED_PTR;
    }
    auto *rec = handle_new<KeyRecord>(HandleKind::registry);
    if (rec == nullptr) {
        reg::close_key(key);
        return X_FAILED_PTR;
    }
    rec->key = key;
    return rec;
}

XAPI int32_t XCloseRegistry(XHANDLE key) {
    reg::Key *k = key_of(key, FN_XCloseRegistry, R_XCloseRegistry_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    handle_free(static_cast<KeyRecord *>(key));
    if (int err = reg::close_key(k)) {
        sys_error(FN_XCloseRegistry, R_XCloseRegistry_CLOSE_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XReadRegInt(XHANDLE key, const char *name, int32_t *result) {
    reg::Key *k = key_of(key, FN_XReadRegInt, R_XReadRegInt_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    uint32_t bad = name == nullptr ? 2 : result == nullptr ? 3 : 0;
    if (bad != 0) {
        lib_error(FN_XReadRegInt, R_XReadRegInt_BAD_ARGUMENT, bad);
        return 0;
    }
    uint32_t type = 0;
    std::string data;
    if (int err = os::no_throw([&] { return reg::get_value(k, name, 4, type, data); })) {
        sys_error(FN_XReadRegInt, R_XReadRegInt_READ_FAILED, err);
        return 0;
    }
    if (type != REG_DWORD || data.size() != 4) {
        lib_error(FN_XReadRegInt, R_XReadRegInt_WRONG_TYPE, 0);
        return 0;
    }
    const auto *b = reinterpret_cast<const unsigned char *>(data.data());
    *result = int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                      uint32_t(b[3]) << 24);
    return 1;
}

XAPI int32_t XReadRegStr(XHANDLE key, const char *name, char *buffer, int32_t size) {
    reg::Key *k = key_of(key, FN_XReadRegStr, R_XReadRegStr_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    uint32_t bad = name == nullptr                          ? 2
                   : size < 0 || size_t(size) > kStrReadMax ? 4
                                                            : 0;
    if (bad != 0) {
        lib_error(FN_XReadRegStr, R_XReadRegStr_BAD_ARGUMENT, bad);
        return 0;
    }
    uint32_t type = 0;
    std::string data;
    if (int err = os::no_throw(
            [&] { return reg::get_value(k, name, kStrReadMax, type, data); })) {
        sys_error(FN_XReadRegStr, R_XReadRegStr_READ_FAILED, err);
        return 0;
    }
    if (type != REG_SZ) {
        lib_error(FN_XReadRegStr, R_XReadRegStr_WRONG_TYPE, 0);
        return 0;
    }
    size_t len = string_length(data);
    if (len == 0) {
        lib_error(FN_XReadRegStr, R_XReadRegStr_EMPTY, 0);
        return 0;
    }
    if (buffer != nullptr) {
        size_t room = size_t(size);
        std::memcpy(buffer, data.data(), len < room ? len : room);
        if (len < room) buffer[len] = '\0';
    }
    return int32_t(len);
}

XAPI int32_t XWriteRegInt(XHANDLE key, const char *name, int32_t number) {
    reg::Key *k = key_of(key, FN_XWriteRegInt, R_XWriteRegInt_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    if (name == nullptr) {
        lib_error(FN_XWriteRegInt, R_XWriteRegInt_BAD_ARGUMENT, 2);
        return 0;
    }
    uint32_t v = uint32_t(number);
    const unsigned char bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                    uint8_t(v >> 24)};
    if (int err = os::no_throw(
            [&] { return reg::set_value(k, name, REG_DWORD, bytes, sizeof bytes); })) {
        sys_error(FN_XWriteRegInt, R_XWriteRegInt_WRITE_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XWriteRegStr(XHANDLE key, const char *name, const char *text, int32_t length) {
    reg::Key *k = key_of(key, FN_XWriteRegStr, R_XWriteRegStr_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    uint32_t bad = name == nullptr   ? 2
                   : text == nullptr ? 3
                   : length <= 0     ? 4
                                     : 0;
    if (bad != 0) {
        lib_error(FN_XWriteRegStr, R_XWriteRegStr_BAD_ARGUMENT, bad);
        return 0;
    }
    // The caller's length counts unless the text ends sooner; text without
    // an end in reach (or empty) is taken at the caller's length.
    size_t end = strnlen(text, kScanMax);
    size_t count = end == 0 || end == kScanMax ? size_t(length)
                                               : (size_t(length) < end ? size_t(length) : end);
    if (count > kStrWriteMax) {
        lib_error(FN_XWriteRegStr, R_XWriteRegStr_TOO_LONG, uint32_t(count));
        return 0;
    }
    if (int err = os::no_throw(
            [&] { return reg::set_value(k, name, REG_SZ, text, count); })) {
        sys_error(FN_XWriteRegStr, R_XWriteRegStr_WRITE_FAILED, err);
        return 0;
    }
    return int32_t(count);
}

XAPI int32_t XDeleteRegValue(XHANDLE key, const char *name) {
    reg::Key *k = key_of(key, FN_XDeleteRegValue, R_XDeleteRegValue_BAD_ARGUMENT);
    if (k == nullptr) return 0;
    if (name == nullptr) {
        lib_error(FN_XDeleteRegValue, R_XDeleteRegValue_BAD_ARGUMENT, 2);
        return 0;
    }
    if (int err = os::no_throw([&] { return reg::delete_value(k, name); })) {
        sys_error(FN_XDeleteRegValue, R_XDeleteRegValue_DELETE_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XListRegKey(XHANDLE key, int32_t index, char *buffer, int32_t size) {
    reg::Key *k = key_of(key, FN_XListRegKey, R_XListRegKey_BAD_ARGUMENT);
    if (k == nullptr) return -3;
    uint32_t bad = index < 0 ? 2 : buffer == nullptr ? 3 : 0;
    if (bad != 0) {
        lib_error(FN_XListRegKey, R_XListRegKey_BAD_ARGUMENT, bad);
        return -3;
    }
    return sub_key(k, index, buffer, size);
}

XAPI int32_t XListRegValue(XHANDLE key, int32_t index, int32_t *type, char *name,
                           int32_t *namelen, void *data, int32_t *datalen) {
    reg::Key *k = key_of(key, FN_XListRegValue, R_XListRegValue_BAD_ARGUMENT);
    if (k == nullptr) return -4;
    uint32_t bad = index < 0            ? 2
                   : type == nullptr    ? 3
                   : name == nullptr    ? 4
                   : namelen == nullptr ? 5
                   : datalen == nullptr ? 7
                                        : 0;
    if (bad != 0) {
        lib_error(FN_XListRegValue, R_XListRegValue_BAD_ARGUMENT, bad);
        return -4;
    }
    std::string vname, vdata;
    uint32_t vtype = 0;
    int err = os::no_throw(
        [&] { return reg::value_at(k, uint32_t(index), vname, vtype, vdata); });
    if (err == ENODATA) return -1;
    // Names and data pass through 260-byte buffers: a name needs room for
    // its terminating zero there.
    if (err == 0 && (vname.size() >= kListBuffer || vdata.size() > kListBuffer)) err = E2BIG;
    if (err != 0) {
        sys_error(FN_XListRegValue, R_XListRegValue_LIST_FAILED, err);
        return -4;
    }
    size_t dlen = vtype == REG_SZ ? string_length(vdata) : vdata.size();
    *type = vtype == REG_SZ ? X_REGTYPE_STRING : vtype == REG_DWORD ? X_REGTYPE_INT
                                                                    : X_REGTYPE_OTHER;
    int32_t result = 0;
    size_t room = *namelen > 0 ? size_t(*namelen) : 0;
    std::memcpy(name, vname.data(), vname.size() < room ? vname.size() : room);
    if (vname.size() > room) result = -2;
    *namelen = int32_t(vname.size());
    if (data != nullptr) {
        room = *datalen > 0 ? size_t(*datalen) : 0;
        std::memcpy(data, vdata.data(), dlen < room ? dlen : room);
        if (dlen > room) result = -3;
    }
    *datalen = int32_t(dlen);
    return result;
}

XAPI int32_t XDeleteRegKey(uint32_t hive, const char *product, const char *subkey) {
    reg::Hive h;
    if (!hive_of(hive, h)) {
        lib_error(FN_XDeleteRegKey, R_XDeleteRegKey_BAD_ARGUMENT, 1);
        return 0;
    }
    if (product == nullptr) {
        lib_error(FN_XDeleteRegKey, R_XDeleteRegKey_BAD_ARGUMENT, 2);
        return 0;
    }
    std::string top;
    if (int err = key_path(product, subkey, top)) {
        sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_OPEN_FAILED, err);
        return 0;
    }
    // Depth first: a key goes only once it has no sub-keys. Each step opens
    // the current key afresh, so keys added meanwhile are found too. The path
    // has its whole room from the start: adding to it never allocates.
    std::string cur;
    if (int err = os::no_throw([&] {
            cur.reserve(kPathBuffer + kPathBuffer);
            cur = top;
            return 0;
        })) {
        sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_OPEN_FAILED, err);
        return 0;
    }
    for (;;) {
        reg::Key *key = nullptr;
        if (int err = os::no_throw([&] { return reg::open_key(h, cur, false, reg::kAll, key); })) {
            sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_OPEN_FAILED, err);
            return 0;
        }
        char name[kPathBuffer];
        int32_t n = sub_key(key, 0, name, sizeof name);
        reg::close_key(key);
        if (n == -3) return 0;
        if (n >= 0) {
            cur += '\\';
            cur.append(name, size_t(n));
            if (cur.size() >= kPathBuffer) {
                sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_OPEN_FAILED, ENAMETOOLONG);
                return 0;
            }
            continue;
        }
        if (n != -1) {  // a name longer than any key name can be
            sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_OPEN_FAILED, ENAMETOOLONG);
            return 0;
        }
        if (int err = os::no_throw([&] { return reg::delete_key(h, cur); })) {
            sys_error(FN_XDeleteRegKey, R_XDeleteRegKey_DELETE_FAILED, err);
            return 0;
        }
        if (cur.size() == top.size()) return 1;
        cur.resize(cur.rfind('\\'));
    }
}

XAPI int32_t XReadRegIntEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, int32_t *result) {
    return with_key(hive, product, subkey, X_REG_READ,
                    [&](XHANDLE key) { return XReadRegInt(key, name, result); });
}

XAPI int32_t XReadRegStrEx(uint32_t hive, const char *product, const char *subkey,
                           const char *name, char *buffer, int32_t size) {
    return with_key(hive, product, subkey, X_REG_READ,
                    [&](XHANDLE key) { return XReadRegStr(key, name, buffer, size); });
}

XAPI int32_t XWriteRegIntEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, int32_t number) {
    return with_key(hive, product, subkey, X_REG_ALL,
                    [&](XHANDLE key) { return XWriteRegInt(key, name, number); });
}

XAPI int32_t XWriteRegStrEx(uint32_t hive, const char *product, const char *subkey,
                            const char *name, const char *text, int32_t length) {
    return with_key(hive, product, subkey, X_REG_ALL,
                    [&](XHANDLE key) { return XWriteRegStr(key, name, text, length); });
}

XAPI int32_t XDeleteRegValueEx(uint32_t hive, const char *product, const char *subkey,
                               const char *name) {
    return with_key(hive, product, subkey, X_REG_ALL,
                    [&](XHANDLE key) { return XDeleteRegValue(key, name); });
}

}  // extern "C"

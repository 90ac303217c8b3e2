// xenv: settings kept in the process environment, named group, group_name or
// group_name_item.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "os/env.h"
#include "xint.h"

using namespace zax;

namespace {

constexpr size_t kMaxName = 64;    // characters of a joined variable name
constexpr size_t kValueBuf = 257;  // 256 characters and a terminator

constexpr Reason kEnvArgument =
    same_reason(R_XReadEnvStr_BAD_ARGUMENT, R_XWriteEnvStr_BAD_ARGUMENT);
constexpr Reason kNameTooLong =
    same_reason(R_XReadEnvStr_NAME_TOO_LONG, R_XWriteEnvStr_NAME_TOO_LONG);

// Checks the parts and joins them into name (a zero-filled buffer of 65
// bytes); a refusal is fn's.
Status join_parts(Fn fn, const char *group, const char *name, const char *item,
                  char (&joined)[kMaxName + 1]) {
    if (group == nullptr) return lib_status(fn, kEnvArgument, 1);
    if (name == nullptr && item != nullptr) return lib_status(fn, kEnvArgument, 2);
    size_t len = std::strlen(group);
    if (name != nullptr) len += 1 + std::strlen(name);
    if (item != nullptr) len += 1 + std::strlen(item);
    if (len > kMaxName) return lib_status(fn, kNameTooLong, 0);
    std::memset(joined, 0, sizeof joined);
    std::strcpy(joined, group);
    if (name != nullptr) {
        std::strcat(joined, "_");
        std::strcat(joined, name);
    }
    if (item != nullptr) {
        std::strcat(joined, "_");
        std::strcat(joined, item);
    }
    return {};
}

bool is_number(const char *s) {
    if (*s == '-') ++s;
    if (*s == '\0') return false;  // empty, or a lone minus sign
    for (; *s != '\0'; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// Decimal conversion that saturates at the 32-bit limits instead of wrapping.
int32_t to_int32(const char *s) {
    bool neg = *s == '-';
    if (neg) ++s;
    int64_t v = 0;
    for (; *s != '\0'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > int64_t(INT32_MAX) + 1) break;
    }
    if (neg) return v > int64_t(INT32_MAX) + 1 ? INT32_MIN : int32_t(-v);
    return v > INT32_MAX ? INT32_MAX : int32_t(v);
}

// XReadEnvStr after its buffer check: the value's length in *len.
Status read_str(const char *group, const char *name, const char *item, char *buffer,
                int32_t size, int32_t *len) {
    char var[kMaxName + 1];
    if (Status s = join_parts(FN_XReadEnvStr, group, name, item, var); s.failed()) return s;
    char value[kValueBuf] = {};
    long n = os::env_get(var, value, sizeof value);
    if (n < 0 || n == 0)  // missing, or set but empty
        return sys_status(FN_XReadEnvStr, R_XReadEnvStr_NOT_SET, ENOENT);
    if (n > long(kValueBuf - 1))  // more than 256 characters
        return sys_status(FN_XReadEnvStr, R_XReadEnvStr_NOT_SET, E2BIG);
    int32_t copied = size < n ? size : int32_t(n);
    if (copied > 0) std::memcpy(buffer, value, size_t(copied));
    *len = int32_t(n);
    return {};
}

}  // namespace

Status zax::read_env_int(const char *group, const char *name, const char *item, int32_t *result) {
    *result = 0;
    char text[kValueBuf + 1] = {};
    int32_t len = 0;
    if (Status s = read_str(group, name, item, text, int32_t(kValueBuf), &len); s.failed())
        return s;
    text[len] = '\0';
    if (!is_number(text)) return lib_status(FN_XReadEnvInt, R_XReadEnvInt_NOT_A_NUMBER, 0);
    *result = to_int32(text);
    return {};
}

extern "C" {

XAPI int32_t XReadEnvStr(const char *group, const char *name, const char *item, char *buffer,
                         int32_t size) {
    if (buffer == nullptr) {
        lib_error(FN_XReadEnvStr, R_XReadEnvStr_BAD_ARGUMENT, 4);
        return 0;
    }
    int32_t len = 0;
    Status s = read_str(group, name, item, buffer, size, &len);
    if (s.failed()) record_failure(s);
    return len;
}

XAPI int32_t XReadEnvInt(const char *group, const char *name, const char *item, int32_t *result) {
    if (result == nullptr) {
        lib_error(FN_XReadEnvInt, R_XReadEnvInt_BAD_ARGUMENT, 4);
        return 0;
    }
    return recorded(read_env_int(group, name, item, result));
}

XAPI int32_t XWriteEnvStr(const char *group, const char *name, const char *item, const char *value,
                          int32_t length) {
    if (value == nullptr) {
        lib_error(FN_XWriteEnvStr, R_XWriteEnvStr_BAD_ARGUMENT, 4);
        return 0;
    }
    if (length < 1 || length > int32_t(kValueBuf - 1)) {
        lib_error(FN_XWriteEnvStr, R_XWriteEnvStr_BAD_ARGUMENT, 5);
        return 0;
    }
    char var[kMaxName + 1];
    if (Status s = join_parts(FN_XWriteEnvStr, group, name, item, var); s.failed()) {
        record_failure(s);
        return 0;
    }
    char copy[kValueBuf] = {};
    // The value ends at length bytes or at an earlier zero byte.
    for (int32_t i = 0; i < length && value[i] != '\0'; ++i) copy[i] = value[i];
    if (int err = os::env_set(var, copy)) {
        sys_error(FN_XWriteEnvStr, R_XWriteEnvStr_SET_FAILED, err);
        return 0;
    }
    return 1;
}

XAPI int32_t XWriteEnvInt(const char *group, const char *name, const char *item, int32_t number) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", number);
    return XWriteEnvStr(group, name, item, text, n);
}

}  // extern "C"

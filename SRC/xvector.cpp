// xvector: the vector table, a directory of named pairs of 32-bit values that
// the initiator service keeps for every process of the machine.
#include <cstring>

#include "OMIKINIT/omikextn.h"
#include "os/sys.h"
#include "xint.h"

using namespace zax;

namespace {

// Reasons of one function: the send and receive reasons are not the same for
// every function.
struct Reasons {
    Fn fn;
    Reason refused, send, receive;
};
constexpr Reasons kGet{FN_XGetVectorTableEx, R_XGetVectorTableEx_NO_ENTRY,
                       R_XGetVectorTableEx_SEND_FAILED, R_XGetVectorTableEx_RECEIVE_FAILED};
constexpr Reasons kSet{FN_XSetVectorTable, R_XSetVectorTable_REFUSED, R_XSetVectorTable_SEND_FAILED,
                       R_XSetVectorTable_RECEIVE_FAILED};
constexpr Reasons kReset{FN_XResetVectorTable, R_XResetVectorTable_REFUSED,
                         R_XResetVectorTable_SEND_FAILED, R_XResetVectorTable_RECEIVE_FAILED};

// A name ends within its first 9 bytes. XGetBufLen records its own code
// first; the caller then records reason 1, detail 1.
bool name_ok(const char *name) { return name != nullptr && XGetBufLen(name, 0, 9) >= 0; }

omik::Message request(uint16_t op, uint16_t subcode, const char *name) {
    omik::Message m;
    std::memset(&m, 0, sizeof m);
    m.operation = op;
    m.subcode = subcode;
    m.protocol = omik::kProtocol;
    m.pid = os::process_id();
    std::strncpy(m.name, name, 8);
    return m;
}

// One exchange with the service; the reply replaces the request.
Status exchange(omik::Message &m, const Reasons &r) {
    int err = 0;
    omik::Connection *c = omik::send_request(m, err);
    if (c == nullptr) return sys_status(r.fn, r.send, err);
    if (!omik::receive_reply(m, c, nullptr, err)) return sys_status(r.fn, r.receive, err);
    if (m.status != omik::kStatusOk) return lib_status(r.fn, r.refused, 0);
    return {};
}

}  // namespace

Status zax::vector_get(const char *name, uint32_t values[2]) {
    omik::Message m = request(omik::kOpLookup, 0, name);
    if (Status s = exchange(m, kGet); s.failed()) return s;
    values[0] = m.first;
    values[1] = m.second;
    return {};
}

Status zax::vector_reset(const char *name) {
    omik::Message m = request(omik::kOpRemove, 2, name);
    return exchange(m, kReset);
}

extern "C" {

XAPI uint32_t XGetVectorTableEx(const char *name, uint32_t values[2]) {
    if (values == nullptr) {
        lib_error(FN_XGetVectorTableEx, R_XGetVectorTableEx_BAD_ARGUMENT, 2);
        return 0;
    }
    if (!name_ok(name)) {
        lib_error(FN_XGetVectorTableEx, R_XGetVectorTableEx_BAD_ARGUMENT, 1);
        return 0;
    }
    Status s = vector_get(name, values);
    if (s.failed()) record_failure(s);
    return s.failed() ? 0 : values[0];
}

XAPI uint32_t XGetVectorTable(const char *name) {
    uint32_t values[2] = {0, 0};
    return XGetVectorTableEx(name, values);
}

XAPI int32_t XSetVectorTable(const char *name, uint32_t first, uint32_t second) {
    if (first == 0) {
        lib_error(FN_XSetVectorTable, R_XSetVectorTable_BAD_ARGUMENT, 2);
        return 0;
    }
    if (second == 0) {
        lib_error(FN_XSetVectorTable, R_XSetVectorTable_BAD_ARGUMENT, 3);
        return 0;
    }
    if (!name_ok(name)) {
        lib_error(FN_XSetVectorTable, R_XSetVectorTable_BAD_ARGUMENT, 1);
        return 0;
    }
    omik::Message m = request(omik::kOpRegister, 2, name);
    m.first = first;
    m.second = second;
    return recorded(exchange(m, kSet));
}

XAPI int32_t XResetVectorTable(const char *name) {
    if (!name_ok(name)) {
        lib_error(FN_XResetVectorTable, R_XResetVectorTable_BAD_ARGUMENT, 1);
        return 0;
    }
    return recorded(vector_reset(name));
}

}  // extern "C"

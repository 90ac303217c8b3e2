// xerror: the per-thread error record.
#include "xerror.h"

#include <cstring>

#include "os/heap.h"
#include "os/signal.h"
#include "os/slot.h"
#include "xint.h"

static_assert(sizeof(XErrorInfo) == 28, "XErrorInfo is code, detail, kind and 16 text bytes");
static_assert(offsetof(XErrorInfo, text) == 12, "the text follows the kind directly");

namespace zax {

ErrorRecord *thread_record() {
    if (os::slot_create(release_record) != 0) return nullptr;
    if (void *r = os::slot_get()) return static_cast<ErrorRecord *>(r);
    auto *rec = static_cast<ErrorRecord *>(os::heap_alloc(sizeof(ErrorRecord)));
    if (rec == nullptr) return nullptr;
    if (os::slot_set(rec) != 0) {
        (void)os::heap_free(rec);
        return nullptr;
    }
    return rec;
}

void free_record(void *record) { (void)os::heap_free(record); }

void release_record(void *record) {
    // The slot's destructor has already cleared the thread's value. A thread
    // that the fatal-signal path (or a kill) ends may have stopped inside the
    // allocator: its record is freed later instead.
    if (record == nullptr) return;
    if (os::ending_abnormally())
        os::park(free_record, record);
    else
        (void)os::heap_free(record);
}

void free_thread_record() {
    if (!os::slot_exists()) return;
    void *r = os::slot_get();
    if (r == nullptr) return;
    (void)os::slot_set(nullptr);
    (void)os::heap_free(r);
}

}  // namespace zax

extern "C" {

XAPI int32_t XSetLastError(uint32_t code, uint32_t detail, uint32_t kind) {
    zax::ErrorRecord *rec = zax::thread_record();
    if (rec == nullptr) return 0;
    rec->code = code;
    rec->detail = detail;
    rec->kind = kind;
    // The detail as eight upper-case hexadecimal digits ("%08X"), without
    // the formatter: failures that callers expect (a remove from an empty
    // list, a try that found a lock taken) record one each time.
    static constexpr char kHex[] = "0123456789ABCDEF";
    char text[16] = {};
    for (int i = 0; i < 8; ++i) text[i] = kHex[(detail >> (28 - 4 * i)) & 0xF];
    std::memcpy(rec->text, text, sizeof text);
    return 1;
}

XAPI uint32_t XGetLastError(XErrorInfo *info) {
    zax::ErrorRecord *rec = zax::thread_record();
    if (rec == nullptr) return 0;
    if (info != nullptr) {
        info->code = rec->code;
        info->detail = rec->detail;
        info->kind = rec->kind;
        std::memcpy(info->text, rec->text, sizeof info->text);
    }
    return rec->code;
}

}  // extern "C"

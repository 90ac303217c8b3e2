// The library settings file: the input is the file. A debug record made
// from it holds only levels of the tables and names that fit, and reading
// it again gives the same record; the load's settings take what the
// parameter reader takes; and the sharing mode, which the Linux layer reads
// with a small reader of its own, agrees with the parameter reader on every
// file without continuation lines.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "os/sharing.h"
#include "xdebug.h"
#include "xdllmain.h"

using namespace zaxfuzz;
using zax::debug::Record;

namespace {

bool one_of(int32_t v, std::initializer_list<int32_t> allowed) {
    for (int32_t a : allowed)
        if (v == a) return true;
    return false;
}

void check_record(const Record *r) {
    FUZZ_CHECK(r->count <= zax::debug::kMaxBindings);
    FUZZ_CHECK(one_of(r->trace_mask, {0, 4, 6, 7, -1}));
    FUZZ_CHECK(one_of(r->dump_mask, {0, 1, -1}));
    for (uint32_t i = 0; i < r->count; ++i) {
        const auto &b = r->table[i];
        FUZZ_CHECK(std::memchr(b.id, 0, sizeof b.id) != nullptr);
        FUZZ_CHECK(one_of(b.trace_mask, {0, 4, 6, 7}));
        FUZZ_CHECK(one_of(b.dump_mask, {0, 1}));
    }
}

// The levels a record holds, taken apart from the record itself.
struct Levels {
    uint32_t count;
    int32_t trace_mask;
    int32_t dump_mask;
    std::vector<zax::debug::Binding> table;
};

Levels levels_of(const Record *r) {
    return {r->count, r->trace_mask, r->dump_mask, {r->table, r->table + r->count}};
}

bool same_levels(const Levels &a, const Levels &b) {
    if (a.count != b.count || a.trace_mask != b.trace_mask || a.dump_mask != b.dump_mask)
        return false;
    for (uint32_t i = 0; i < a.count; ++i)
        if (std::strcmp(a.table[i].id, b.table[i].id) != 0 ||
            a.table[i].trace_mask != b.table[i].trace_mask ||
            a.table[i].dump_mask != b.table[i].dump_mask)
            return false;
    return true;
}

void check_debug_record() {
    XHANDLE h = XInitDebug("XP_TRACE_DEFAULT", 0x1234);
    if (h == nullptr) return;
    Record *r = zax::debug::record_of(h);
    check_record(r);
    Levels first = levels_of(r);
    // The same file read again gives the same levels.
    FUZZ_CHECK(XRefreshDebug(h) == 1);
    FUZZ_CHECK(same_levels(levels_of(r), first));
    for (uint32_t i = 0; i < r->count; ++i) {
        uint32_t level = 99;
        FUZZ_CHECK(XGetTraceLevel(h, r->table[i].id, &level) == 1 && level <= 4);
        FUZZ_CHECK(XGetDumpLevel(h, r->table[i].id, &level) == 1 && level <= 2);
    }
    FUZZ_CHECK(XTermDebug(h) == 1);
}

void check_load_settings(XHANDLE parm) {
    zax::read_load_settings();
    int32_t v = 0;
    if (parm != X_FAILED_PTR && XReadParmInt(parm, "TIME", "TIMEOUT", &v) == 1)
        FUZZ_CHECK(zax::lock_timeout() == v);
    else
        FUZZ_CHECK(zax::lock_timeout() == zax::kDefaultLockTimeout);
}

void check_sharing(XHANDLE parm, const std::string &text) {
    // The layer's reader takes single-line values only, and the parameter
    // reader cuts lines of more than 1024 bytes into pieces.
    if (text.find('@') != std::string::npos || text.find('\0') != std::string::npos) return;
    size_t line = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (i - line >= 1000) return;
            line = i + 1;
        }
    }
    char buf[600] = {};
    int32_t len = parm == X_FAILED_PTR ? 0 : XReadParmStr(parm, "SHARING", "MODE", buf, 599);
    std::string value = len > 0 && len < 600 ? std::string(buf, size_t(len)) : "";
    if (len >= 600) return;
    zax::os::Sharing s;
    int err = zax::os::sharing_setting(&s);
    if (value.empty() || value == "user") {
        FUZZ_CHECK(err == 0 && s.mode == zax::os::SharingMode::user);
    } else if (value == "machine") {
        FUZZ_CHECK(err == 0 && s.mode == zax::os::SharingMode::machine);
    } else if (value.compare(0, 6, "group:") == 0 && value.size() > 6) {
        FUZZ_CHECK(err == EINVAL || (err == 0 && s.mode == zax::os::SharingMode::group &&
                                     s.group == value.substr(6)));
    } else {
        FUZZ_CHECK(err == EINVAL);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    write_file(scratch() + "/XTORASYS", text);
    check_debug_record();
    XHANDLE parm = XOpenParmFile(scratch().c_str(), "XTORASYS");
    check_load_settings(parm);
    check_sharing(parm, text);
    if (parm != X_FAILED_PTR) FUZZ_CHECK(XCloseParmFile(parm) == 1);
    return 0;
}

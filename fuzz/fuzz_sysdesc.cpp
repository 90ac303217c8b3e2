// The system description file: the input is the file. Whatever it holds,
// the record gets only values of the code tables, names that fit their
// fields (zero-filled behind them), nothing in its reserved fields and
// nothing past its end; a file that reads whole agrees with the parameter
// reader entry by entry.
#include <cstddef>

#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

constexpr uint8_t kFill = 0x5A;

bool one_of(uint32_t v, std::initializer_list<uint32_t> allowed) {
    for (uint32_t a : allowed)
        if (v == a) return true;
    return false;
}

template <class T> bool unchanged(const T &field) {
    const auto *p = reinterpret_cast<const uint8_t *>(&field);
    for (size_t i = 0; i < sizeof field; ++i)
        if (p[i] != kFill) return false;
    return true;
}

// A name field: untouched, or a name of at most limit bytes with zeros behind it.
void check_name(const char *field, size_t size, size_t limit) {
    const auto *p = reinterpret_cast<const uint8_t *>(field);
    bool same = true;
    for (size_t i = 0; i < size; ++i) same = same && p[i] == kFill;
    if (same) return;
    size_t len = strnlen(field, size);
    FUZZ_CHECK(len <= limit);
    for (size_t i = len; i < size; ++i) FUZZ_CHECK(p[i] == 0);
}

// The name of entry key of "LOCATION" as the parameter reader gives it.
void agrees_name(XHANDLE h, const char *key, const char *field, size_t limit) {
    char buf[300] = {};
    int32_t len = XReadParmStr(h, "LOCATION", key, buf, 299);
    if (len > 0 && size_t(len) <= limit) FUZZ_CHECK(std::strcmp(field, buf) == 0);
}

template <class T> void agrees_int(XHANDLE h, const char *section, const char *key, const T &field) {
    int32_t v = 0;
    if (XReadParmInt(h, section, key, &v) == 1) FUZZ_CHECK(field == T(v));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_file(scratch() + "/XSYSTEM", data, size);
    Guarded mem(sizeof(XSystemInfo), kFill);
    auto *r = reinterpret_cast<XSystemInfo *>(mem.data());
    int32_t ok = XGetSystemInfoFile(r);
    FUZZ_CHECK(mem.intact());
    FUZZ_CHECK(unchanged(r->reserved1) && unchanged(r->reserved2));
    FUZZ_CHECK(unchanged(r->platform) || one_of(r->platform, {100, 200, 300, 400}));
    FUZZ_CHECK(unchanged(r->os_name) || one_of(r->os_name, {110, 120, 130, 140, 210, 220, 230, 240,
                                                           250, 260, 270, 310, 320, 330, 410}));
    FUZZ_CHECK(unchanged(r->byte_order) || one_of(r->byte_order, {1, 2}));
    FUZZ_CHECK(unchanged(r->sbcs) || one_of(r->sbcs, {16, 32, 80, 96}));
    FUZZ_CHECK(unchanged(r->mbcs) || one_of(r->mbcs, {145, 146, 147, 164, 165, 176, 192}));
    check_name(r->location, sizeof r->location, 8);
    check_name(r->machine, sizeof r->machine, 32);
    check_name(r->user_id, sizeof r->user_id, 32);
    check_name(r->jes, sizeof r->jes, 4);
    check_name(r->job, sizeof r->job, 256);
    check_name(r->step, sizeof r->step, 8);
    if (ok != 1) return 0;

    // Read whole: every entry as the parameter reader sees it.
    XHANDLE h = XOpenParmFile(scratch().c_str(), "XSYSTEM");
    FUZZ_CHECK(h != X_FAILED_PTR);
    agrees_name(h, "NAME", r->location, 8);
    agrees_name(h, "MACHINE", r->machine, 32);
    agrees_name(h, "USERID", r->user_id, 32);
    agrees_name(h, "JOB", r->job, 256);
    agrees_name(h, "STEP", r->step, 8);
    agrees_name(h, "JES", r->jes, 4);
    agrees_int(h, "OS", "MAJORVER", r->os_major);
    agrees_int(h, "OS", "MINORVER", r->os_minor);
    agrees_int(h, "OS", "LEVEL", r->os_level);
    agrees_int(h, "CPU", "NAME", r->cpu_name);
    agrees_int(h, "CPU", "NUM", r->cpu_count);
    agrees_int(h, "CODE", "WORDSIZE", r->word_size);
    agrees_int(h, "DISPLAY", "COLOR", r->colors);
    agrees_int(h, "DISPLAY", "XRES", r->x_resolution);
    agrees_int(h, "DISPLAY", "YRES", r->y_resolution);
    FUZZ_CHECK(XCloseParmFile(h) == 1);
    return 0;
}

// Parameter files, read: the input is the file. Listing a section and
// reading its entries by key must agree, the integer reader must agree with
// the string reader, and no call writes past the buffer it was given.
#include <climits>

#include "parm_snapshot.h"

using namespace zaxfuzz;

namespace {

constexpr uint32_t code(uint32_t fn, uint32_t reason) { return (fn << 16) | reason; }
constexpr uint32_t kReadStr = 0x71, kReadInt = 0x70, kList = 0x75;

// What XReadParmInt must make of a value that XReadParmStr gave.
void check_int(XHANDLE h, const std::string &section, const std::string &key,
               const std::string &text) {
    int32_t got = 12345;
    int32_t r = XReadParmInt(h, section.c_str(), key.c_str(), &got);
    bool number = !text.empty() && text.size() <= 1024;
    for (size_t i = 0; number && i < text.size(); ++i)
        number = (text[i] >= '0' && text[i] <= '9') || (i == 0 && text[i] == '-');
    if (!number) {
        FUZZ_CHECK(r == 0 && XGetLastError(nullptr) == code(kReadInt, 2));
        return;
    }
    bool neg = text[0] == '-';
    long long v = 0;
    bool range = true;
    for (size_t i = neg ? 1 : 0; i < text.size() && range; ++i) {
        v = v * 10 + (text[i] - '0');
        range = v <= 1LL << 31;
    }
    if (neg) v = -v;
    range = range && v >= INT32_MIN && v <= INT32_MAX;
    if (range)
        FUZZ_CHECK(r == 1 && got == v);
    else
        FUZZ_CHECK(r == 0 && XGetLastError(nullptr) == code(kReadInt, 3));
}

void check_section(XHANDLE h, const std::string &name, const Section &entries) {
    std::set<std::string> seen;
    // An entry without a value is listed without its key; a later entry of
    // the same key is then not the one a read by name finds.
    bool hidden = false;
    for (const auto &e : entries) {
        if (e.result == -5) {
            FUZZ_CHECK(e.error == code(kList, 3) || e.error == code(kList, 4) ||
                       e.error == code(kList, 5));
            hidden = hidden || e.error != code(kList, 3);
            continue;
        }
        if (!seen.insert(e.key).second || e.key.find('\0') != std::string::npos) continue;
        // The first entry of a key is the one that a read by name finds.
        Guarded buf(1024);
        XSetLastError(0, 0, 0);
        int32_t len = XReadParmStr(h, name.c_str(), e.key.c_str(), buf.chars(), 1024);
        FUZZ_CHECK(buf.intact());
        if (len == 0) {
            uint32_t err = XGetLastError(nullptr);
            FUZZ_CHECK(hidden && (err == code(kReadStr, 4) || err == code(kReadStr, 5)));
            continue;
        }
        FUZZ_CHECK(len == e.value_len);
        FUZZ_CHECK(buf.str(size_t(len < 1024 ? len : 1024)) == e.value);
        // A buffer of 0 bytes is given nothing, and the length still comes back.
        Guarded none(0);
        FUZZ_CHECK(XReadParmStr(h, name.c_str(), e.key.c_str(), none.chars(), 0) == len);
        FUZZ_CHECK(none.intact());
        check_int(h, name, e.key, e.value.substr(0, size_t(len)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    write_file(scratch() + "/PARM", text);
    XHANDLE h = XOpenParmFile(scratch().c_str(), "PARM");
    FUZZ_CHECK(h != X_FAILED_PTR);
    for (const auto &name : candidate_names(text)) check_section(h, name, list_section(h, name));
    // A name that no line can match (a line ends at its line feed) is absent.
    Guarded buf(8);
    FUZZ_CHECK(XReadParmStr(h, "x\n", "k", buf.chars(), 8) == 0 &&
               XGetLastError(nullptr) == code(kReadStr, 2));
    FUZZ_CHECK(XCloseParmFile(h) == 1);
    return 0;
}

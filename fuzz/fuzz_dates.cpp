// Date checking and shifting: the input is a layout, two day counts and the
// text. A shift that fails leaves the text alone; one that succeeds writes
// a valid date in the layout's characters only, keeps the separator, and
// shifts add up: by d and then by -d gives the date back, by d1 and then by
// d2 gives the shift by d1 + d2. The text is read no further than its end.
#include <climits>

#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

size_t layout_length(int32_t layout) {
    static const size_t kLen[] = {8, 10, 6, 8, 8, 10, 6, 8};
    return kLen[layout];
}

// The separator positions of a layout (none for 0, 2, 4 and 6).
std::vector<size_t> separators(int32_t layout) {
    switch (layout) {
    case 1: return {2, 5};
    case 3: return {2, 5};
    case 5: return {4, 7};
    case 7: return {2, 5};
    default: return {};
    }
}

// Shifts a copy of text (a block of exactly its bytes and a NUL); the result
// and the shifted copy.
int32_t shift(int32_t layout, const std::string &text, int32_t days, std::string &out) {
    Guarded buf(text.size() + 1);
    std::memcpy(buf.data(), text.c_str(), text.size() + 1);
    int32_t r = XShiftDate(layout, buf.chars(), days);
    FUZZ_CHECK(buf.intact());
    out = buf.str(text.size());
    FUZZ_CHECK(buf.data()[text.size()] == 0);
    if (r != 1) {
        FUZZ_CHECK(r == 0 && out == text);
        return r;
    }
    size_t n = layout_length(layout);
    FUZZ_CHECK(out.compare(n, std::string::npos, text, n, std::string::npos) == 0);
    FUZZ_CHECK(XCheckDate(layout, out.c_str()) == 1);
    for (size_t p : separators(layout)) FUZZ_CHECK(out[p] == text[separators(layout)[0]]);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t lay = in.ConsumeIntegral<uint8_t>();
    int32_t layout = lay < 248 ? lay % 8 : int32_t(lay) - 250;  // now and then -2 to 5, or 8 and 9
    int32_t d1 = in.ConsumeIntegralInRange<int32_t>(-40000, 40000);
    int32_t d2 = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-400, 400)
                                  : in.ConsumeIntegral<int32_t>();
    std::string text = in.ConsumeRemainingBytesAsString();
    text = text.substr(0, std::strlen(text.c_str()));

    // The check reads the text through a block of exactly its bytes.
    std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);
    int32_t valid = XCheckDate(layout, exact.data());
    FUZZ_CHECK(valid == 0 || valid == 1);
    if (layout < 0 || layout > 7) {
        FUZZ_CHECK(valid == 0);
        return 0;
    }
    if (valid == 1) FUZZ_CHECK(text.size() >= layout_length(layout));

    std::string zero, one, two, both, back;
    if (shift(layout, text, 0, zero) != 1) return 0;
    // By 0 a date of the window stays as it is.
    FUZZ_CHECK(valid == 1);
    if (shift(layout, text, d1, one) != 1) return 0;
    FUZZ_CHECK(shift(layout, one, -d1, back) == 1 && back == zero);
    int64_t sum = int64_t(d1) + d2;
    if (sum < INT32_MIN || sum > INT32_MAX) return 0;
    if (shift(layout, one, d2, two) == 1)
        FUZZ_CHECK(shift(layout, text, int32_t(sum), both) == 1 && both == two);
    return 0;
}

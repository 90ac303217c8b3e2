// Kanji conversion: the input is two codes, a capacity and the shifted
// text. The bounded conversion agrees with the in-place one where both
// exist, writes within its capacity and nothing on failure, cuts on a
// prefix of the full result, and Shift-JIS comes back from EUC.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

const uint8_t kCodes[] = {0x10, 0x20, 0x30, 0x0D, 0x40, 0xA0, 0x8D, 0xC0};

// The pairs that the in-place conversion serves.
bool in_place_pair(uint8_t from, uint8_t to) {
    bool ebcdic_to = (to & 0x7F) == 0x20 || (to & 0x7F) == 0x0D || (to & 0x7F) == 0x40;
    bool ebcdic_from = (from & 0x7F) == 0x20 || (from & 0x7F) == 0x0D || (from & 0x7F) == 0x40;
    return (from == 0x10 && ebcdic_to) || (ebcdic_from && to == 0x10);
}

// The bounded conversion into capacity cap: the bytes placed (in out) and
// the full length (in full_len, which a failure leaves alone).
int32_t bounded(uint8_t from, uint8_t to, const std::string &src, int32_t cap, std::string &out,
                int32_t &full_len) {
    Guarded dst{size_t(cap)};
    int32_t n = cap;
    int32_t r = XConvertKanjiEx(from, to, src.data(), dst.data(), int32_t(src.size()), &n);
    FUZZ_CHECK(dst.intact());
    FUZZ_CHECK(r >= 0 && r <= cap);
    FUZZ_CHECK(dst.untouched_from(size_t(r)));
    out = dst.str(size_t(r));
    full_len = n;
    return r;
}

// Whether a Shift-JIS text has a byte 0x8E outside its runs (EUC reads it as
// the start of a two-byte character, so it cannot come back alone).
bool lone_8e(const std::string &s) {
    bool inside = false;
    for (size_t i = 0; i < s.size(); ++i) {
        uint8_t b = uint8_t(s[i]);
        if (inside) {
            if (b == 0x1F) inside = false;
            else if (b != 0x1E) ++i;  // a pair (a second 0x1E stands alone)
        } else if (b == 0x1E) {
            inside = true;
        } else if (b == 0x8E) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t a = in.ConsumeIntegral<uint8_t>(), b = in.ConsumeIntegral<uint8_t>();
    uint8_t from = a < 240 ? kCodes[a % sizeof kCodes] : in.ConsumeIntegral<uint8_t>();
    uint8_t to = b < 240 ? kCodes[b % sizeof kCodes] : in.ConsumeIntegral<uint8_t>();
    uint16_t cap_pick = in.ConsumeIntegral<uint16_t>();
    std::string src = in.ConsumeRemainingBytesAsString();
    if (src.empty()) return 0;
    const int32_t ample = int32_t(2 * src.size() + 8);

    std::string full;
    int32_t full_len = -1;
    int32_t placed = bounded(from, to, src, ample, full, full_len);
    // Nothing placed is a failure: the size is left alone.
    if (placed == 0) FUZZ_CHECK(full_len == ample);
    if (placed > 0 && from != to) FUZZ_CHECK(placed == full_len);

    if (in_place_pair(from, to)) {
        Guarded text(src.size());
        std::memcpy(text.data(), src.data(), src.size());
        int32_t r = XConvertKanji(from, to, text.data(), int32_t(src.size()));
        FUZZ_CHECK(text.intact());
        FUZZ_CHECK((r == 1) == (placed > 0));
        if (r == 1) FUZZ_CHECK(text.str(src.size()) == full);
    }
    if (placed == 0) return 0;

    // A capacity that may be short: a prefix of the full result, its last
    // byte maybe the code that closes a run, and the full length told.
    int32_t cap = 1 + int32_t(cap_pick % uint32_t(full_len + 2));
    std::string cut;
    int32_t len = -1;
    int32_t r = bounded(from, to, src, cap, cut, len);
    if (from == to) {
        FUZZ_CHECK(r == (cap < int32_t(src.size()) ? cap : int32_t(src.size())));
        FUZZ_CHECK(cut == src.substr(0, size_t(r)));
    } else {
        // Cut to nothing (a first character that does not fit) or a prefix.
        FUZZ_CHECK(len == full_len);
        if (r == 0) return 0;
        FUZZ_CHECK(cut.compare(0, size_t(r - 1), full, 0, size_t(r - 1)) == 0);
        FUZZ_CHECK(uint8_t(cut.back()) == uint8_t(full[size_t(r - 1)]) || cut.back() == 0x1F);
    }

    // Shift-JIS to EUC and back gives the text again.
    if (from == 0x10 && to == 0x30 && !lone_8e(src)) {
        std::string back;
        int32_t back_len = -1;
        FUZZ_CHECK(bounded(0x30, 0x10, full, int32_t(2 * full.size() + 8), back, back_len) > 0);
        FUZZ_CHECK(back == src);
    }
    return 0;
}

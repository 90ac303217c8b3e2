// Kanji shift codes: the input is a code, a capacity and the text. The
// count of a conversion is what the conversion writes (not a byte more);
// removing the shift codes that were added gives the text back; the bounded
// forms write within their capacity, agree with the unbounded ones on
// well-formed text when the result fits, and otherwise stop on a prefix of
// it, a run closed.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

const uint8_t kCodes[] = {0x10, 0x30, 0x02, 0x04, 0x08, 0x0D, 0x20, 0x40,
                          0x82, 0x84, 0x88, 0x8D, 0xA0, 0xC0};

bool sjis_or_euc(uint8_t code) { return code == 0x10 || code == 0x30; }

// The sequence that closes a run in the output of a conversion.
std::string closing(bool add, uint8_t code) {
    if (add || sjis_or_euc(code)) return "\x1F";
    switch (code & 0x7F) {
    case 0x20: return "\x0F";
    case 0x40: return "\x0A\x41";
    default: return "\x29";
    }
}

// Runs the unbounded conversion with a destination of exactly its count;
// the result and what it wrote.
bool convert(bool add, uint8_t code, const std::string &src, std::string &out) {
    int32_t len = int32_t(src.size());
    int32_t count = XCountKanjiShift(code, add ? 1 : 0, len, src.data());
    // A count of 0 is a failure, or a result without a byte.
    size_t room = count > 0 ? size_t(count) : 4 * src.size() + 8;
    Guarded dst(room);
    int32_t r = add ? XAddKanjiShift(code, len, src.data(), dst.data())
                    : XRemoveKanjiShift(code, len, src.data(), dst.data());
    FUZZ_CHECK(dst.intact());
    FUZZ_CHECK(r == 0 || r == 1);
    if (r != 1) {
        // The count fails exactly where the conversion fails on the text.
        FUZZ_CHECK(count == 0);
        return false;
    }
    if (count == 0) {
        FUZZ_CHECK(dst.untouched_from(0));
        out.clear();
        return true;
    }
    out = dst.str(size_t(count));
    return true;
}

// The bounded form with capacity cap (ample: room for any result); checks
// it against the full result of the unbounded form.
void bounded(bool add, uint8_t code, const std::string &src, int32_t cap, bool ample,
             bool full_ok, const std::string &full) {
    Guarded dst{size_t(cap)};
    int32_t n = cap;
    int32_t len = int32_t(src.size());
    int32_t r = add ? XAddKanjiShiftEx(code, len, src.data(), &n, dst.data())
                    : XRemoveKanjiShiftEx(code, len, src.data(), &n, dst.data());
    FUZZ_CHECK(dst.intact());
    FUZZ_CHECK(r >= 0 && r <= 2);
    FUZZ_CHECK(n >= 0 && n <= cap);
    FUZZ_CHECK(dst.untouched_from(size_t(n)));
    // The bounded forms also refuse a pair cut off by the end of the text.
    if (!full_ok || r == 0) return;
    FUZZ_CHECK(!ample || r == 2);
    // What was written is a prefix of the full result, maybe followed by
    // the sequence that closes a run: at the end of the text (EBCDIC forms),
    // or where the room ran out.
    std::string got = dst.str(size_t(n)), close = closing(add, code);
    bool fits = false;
    for (size_t k = 0; k <= got.size() && !fits; ++k) {
        std::string tail = got.substr(k);
        fits = k <= full.size() && got.compare(0, k, full, 0, k) == 0 &&
               (tail.empty() || tail == close);
    }
    FUZZ_CHECK(fits);
    if (r == 2) FUZZ_CHECK(got.size() >= full.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint8_t pick = in.ConsumeIntegral<uint8_t>();
    uint8_t code = pick < 240 ? kCodes[pick % sizeof kCodes] : in.ConsumeIntegral<uint8_t>();
    uint16_t cap_pick = in.ConsumeIntegral<uint16_t>();
    std::string src = in.ConsumeRemainingBytesAsString();
    if (src.empty()) return 0;
    int32_t cap = 1 + int32_t(cap_pick % (2 * src.size() + 8));

    std::string added, removed;
    bool add_ok = convert(true, code, src, added);
    convert(false, code, src, removed);
    bounded(true, code, src, cap, false, add_ok, added);
    bounded(true, code, src, int32_t(2 * src.size() + 8), true, add_ok, added);
    // The bounded removal takes a shifted text's pairs whole, the unbounded
    // one byte by byte: on any text it only keeps within its capacity ...
    bounded(false, code, src, cap, false, false, "");
    // ... and on what an add made of a text without shift codes of its own,
    // both give that text back.
    if (add_ok && (code & 0x7F) != 0x0D && src.find_first_of("\x1E\x1F") == std::string::npos) {
        std::string back;
        FUZZ_CHECK(convert(false, code, added, back));
        FUZZ_CHECK(back == src);
        int32_t cap2 = 1 + int32_t(cap_pick % (4 * added.size() + 8));
        bounded(false, code, added, cap2, false, true, src);
        bounded(false, code, added, int32_t(4 * added.size() + 8), true, true, src);
    }
    return 0;
}

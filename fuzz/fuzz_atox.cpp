// XAtox: the input is a length and the text. A number written in
// hexadecimal (either case, spaces anywhere, a NUL and more digits behind)
// reads back as itself; any text is refused exactly when it holds a byte
// outside the digits, the space and NUL, or more than eight digits, and the
// call reads no byte beyond the length.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

constexpr uint32_t kBadText = (0x11Fu << 16) | 2;

bool allowed(uint8_t c) {
    return c == 0 || c == ' ' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
           (c >= 'A' && c <= 'F');
}

// Writes value in hexadecimal, shaped by the bits of style.
std::string spell(uint32_t value, uint32_t style) {
    const char *digits = (style & 1) ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    int width = int(style >> 1 & 7) + 1;  // leading zeros up to eight digits
    bool started = false;
    for (int k = 7; k >= 0; --k) {
        uint32_t d = value >> (4 * k) & 0xF;
        started = started || d != 0 || k < width;
        if (!started) continue;
        if (style >> (4 + k) & 1) s += ' ';
        s += digits[d];
    }
    if (style >> 12 & 1) s += "  ";
    if (style >> 13 & 1) s += std::string("\0" "99", 3);  // digits after a NUL do not count
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint32_t value = in.ConsumeIntegral<uint32_t>();
    uint32_t style = in.ConsumeIntegral<uint32_t>();
    uint16_t len_pick = in.ConsumeIntegral<uint16_t>();

    std::string s = spell(value, style);
    FUZZ_CHECK(XAtox(s.data(), int32_t(s.size())) == value);

    // Any text, in a block of exactly the length, so that a read past it is caught.
    std::vector<uint8_t> rest = in.ConsumeRemainingBytes<uint8_t>();
    if (rest.empty()) return 0;
    size_t len = 1 + len_pick % rest.size();
    std::vector<uint8_t> text(rest.begin(), rest.begin() + ptrdiff_t(len));
    bool ok = true;
    for (uint8_t c : text) ok = ok && allowed(c);
    size_t end = len;
    for (size_t i = 0; i < len && i < 255; ++i)
        if (text[i] == 0) {
            end = i;
            break;
        }
    int digits = 0;
    for (size_t i = 0; i < end; ++i) digits += text[i] != ' ' && text[i] != 0;
    XSetLastError(0, 0, 0);
    uint32_t got = XAtox(reinterpret_cast<const char *>(text.data()), int32_t(len));
    if (!ok || digits > 8) {
        FUZZ_CHECK(got == 0 && XGetLastError(nullptr) == kBadText);
        return 0;
    }
    FUZZ_CHECK(XGetLastError(nullptr) == 0);
    // The same digits without their spaces give the same value.
    std::string bare;
    for (size_t i = 0; i < end; ++i)
        if (text[i] != ' ' && text[i] != 0) bare += char(text[i]);
    if (!bare.empty()) FUZZ_CHECK(XAtox(bare.data(), int32_t(bare.size())) == got);
    else FUZZ_CHECK(got == 0);
    return 0;
}

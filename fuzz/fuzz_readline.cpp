// Line reading, single-byte and UTF-16: the input is a byte order, buffer
// sizes and the file. Reading to the end gives the file back piece by
// piece; each piece ends at its first line end, or has none and fills the
// buffer or ends the file; nothing is written past the size given.
#include "fuzz_support.h"

using namespace zaxfuzz;

namespace {

// Where the first line end lies in piece (the index after it), or 0.
size_t line_end(const std::string &piece, int16_t order) {
    if (order == 0) {
        for (size_t i = 0; i < piece.size(); ++i)
            if (piece[i] == '\n' || piece[i] == '\f') return i + 1;
        return 0;
    }
    for (size_t i = 0; i + 1 < piece.size(); ++i) {
        char a = piece[i], b = piece[i + 1];
        bool lf = order == 1 ? a == 0 && (b == '\n' || b == '\f') : b == 0 && (a == '\n' || a == '\f');
        if (lf) return i + 2;
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int16_t order = int16_t(in.ConsumeIntegralInRange(0, 3));  // 0: single-byte; 3: refused
    std::vector<int32_t> sizes;
    for (int i = 0; i < 4; ++i) sizes.push_back(in.ConsumeIntegralInRange(1, 300));
    std::string content = in.ConsumeRemainingBytesAsString();
    const std::string path = scratch() + "/LINES";
    write_file(path, content);
    XFILE f = XOpenFile(path.c_str(), 0, X_OPEN_READ);
    FUZZ_CHECK(f != 0);

    size_t pos = 0;
    for (size_t call = 0;; ++call) {
        FUZZ_CHECK(call <= content.size() + 1);
        int32_t want = sizes[call % sizes.size()];
        Guarded buf{size_t(want)};
        int32_t n = order == 0 ? XReadFileLn(f, buf.data(), want)
                               : XReadFileLn_UTF16(f, buf.data(), want, order);
        FUZZ_CHECK(buf.intact());
        if (order == 3) {
            FUZZ_CHECK(n == -1 && XGetLastError(nullptr) == ((0x131u << 16) | 1));
            break;
        }
        FUZZ_CHECK(n >= 0 && n <= want);
        if (n == 0) {
            FUZZ_CHECK(pos == content.size());
            break;
        }
        // The piece is the file's next bytes, up to and with its first line end.
        std::string piece = buf.str(size_t(n));
        FUZZ_CHECK(content.compare(pos, size_t(n), piece) == 0);
        size_t end = line_end(piece, order);
        if (end == 0) {
            size_t left = content.size() - pos;
            FUZZ_CHECK(size_t(n) == (left < size_t(want) ? left : size_t(want)));
        } else {
            FUZZ_CHECK(end == size_t(n));
        }
        pos += size_t(n);
    }
    FUZZ_CHECK(XCloseFile(f) == 1);
    return 0;
}

// What the fuzz targets share: a property check that fails the run, buffers
// with guard bytes behind them, and a scratch directory for the targets that
// read files.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zaxxlib.h"

namespace zaxfuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *what) {
    XErrorInfo e{};
    uint32_t code = XGetLastError(&e);
    std::fprintf(stderr, "%s:%d: property does not hold: %s (error record 0x%X detail %u kind %u)\n",
                 file, line, what, code, e.detail, e.kind);
    std::abort();
}

// A property of the code under test: a violation ends the run as a crash,
// which keeps the input.
#define FUZZ_CHECK(cond)                                          \
    do {                                                          \
        if (!(cond)) ::zaxfuzz::fail(__FILE__, __LINE__, #cond);  \
    } while (0)

// n bytes that the code under test may write (filled with `fill` first),
// followed by guard bytes that it must leave alone.
class Guarded {
public:
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kGuardByte = 0xA5;
    explicit Guarded(size_t n, uint8_t fill = 0xCD) : n_(n), mem_(n + kGuard, fill) {
        std::memset(mem_.data() + n, kGuardByte, kGuard);
    }
    uint8_t *data() { return mem_.data(); }
    char *chars() { return reinterpret_cast<char *>(mem_.data()); }
    const uint8_t *data() const { return mem_.data(); }
    size_t size() const { return n_; }
    bool intact() const {
        for (size_t i = n_; i < n_ + kGuard; ++i)
            if (mem_[i] != kGuardByte) return false;
        return true;
    }
    // Whether bytes [from, n) still hold the fill.
    bool untouched_from(size_t from, uint8_t fill = 0xCD) const {
        for (size_t i = from; i < n_; ++i)
            if (mem_[i] != fill) return false;
        return true;
    }
    std::string str(size_t n) const { return std::string(reinterpret_cast<const char *>(mem_.data()), n); }

private:
    size_t n_;
    std::vector<uint8_t> mem_;
};

// This process's scratch directory, on tmpfs where there is one, removed at
// exit; it also serves as run-time directory and settings directory, so
// that nothing outside it is touched.
inline const std::string &scratch() {
    static const std::string dir = [] {
        std::string tmpl = access("/dev/shm", W_OK) == 0 ? "/dev/shm/zaxfuzz.XXXXXX"
                                                          : "/tmp/zaxfuzz.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) std::abort();
        static std::string keep = tmpl;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(keep, ec);
        });
        return tmpl;
    }();
    return dir;
}

// Points the library's settings and run-time directory at the scratch
// directory; for LLVMFuzzerInitialize.
inline void use_scratch_environment() {
    setenv("ZAXXLIB_XSYSTEM", scratch().c_str(), 1);
    setenv("ZAXXLIB_RUNDIR", (scratch() + "/run").c_str(), 1);
    unsetenv("ZAXXLIB_SHARING");
}

inline void write_file(const std::string &path, const void *data, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), std::streamsize(n));
    if (!out) std::abort();
}
inline void write_file(const std::string &path, const std::string &s) {
    write_file(path, s.data(), s.size());
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace zaxfuzz

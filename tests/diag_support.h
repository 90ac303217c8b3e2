// Shared by the diagnostics tests: a settings file in the test's directory,
// file contents, and the probe console companion.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "zaxtest.h"

namespace diagtest {

// Every test finds its library settings file "XTORASYS" in its own directory.
class DiagTest : public zaxtest::ZaxTest {
protected:
    void SetUp() override {
        ZaxTest::SetUp();
        setenv("ZAXXLIB_XSYSTEM", rundir_.c_str(), 1);
    }
    void settings(const std::string &text) const {
        zaxtest::WriteFile(path("XTORASYS"), text);
    }
    // Settings with the global levels and no bindings.
    void global_levels(int trace, int dump) const {
        settings("XTORASYS :\nTRACE = " + std::to_string(trace) + "\nDUMP = " +
                 std::to_string(dump) + "\nBINDINGS = NONE\n");
    }
    std::string read(const std::string &file) const { return zaxtest::ReadFile(file); }
    bool exists(const std::string &file) const { return std::filesystem::exists(file); }
};

// The build puts the companions beside libzaxxlib.so, one level above the
// helper program.
inline std::string companion_path(const char *file) {
    return (std::filesystem::path(zaxtest::HelperPath()).parent_path().parent_path() / file)
        .string();
}

// The lines of text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::string::size_type start = 0, lf;
    while ((lf = text.find('\n', start)) != std::string::npos) {
        out.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

}  // namespace diagtest

// Everything a parameter-file handle lets a caller read, for the targets
// that compare what two handles (or one handle at two times) show.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace zaxfuzz {

// One position of a section as XListParmEntry gives it.
struct ListedEntry {
    int32_t result = 0;
    uint32_t error = 0;  // the error code when result is -5
    std::string key;     // whole when the result says so
    std::string value;   // at most the first 1024 bytes
    int32_t key_len = 0;
    int32_t value_len = 0;
    bool operator==(const ListedEntry &) const = default;
};

using Section = std::vector<ListedEntry>;
using Snapshot = std::map<std::string, Section>;

// Words of text that could name a section: runs of bytes that a name may
// hold, at most `limit` distinct ones.
inline std::vector<std::string> candidate_names(const std::string &text, size_t limit = 16) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    size_t i = 0;
    while (i < text.size() && out.size() < limit) {
        size_t j = i;
        while (j < text.size() && std::strchr(" \t\r\n=:", text[j]) == nullptr && text[j] != '\0')
            ++j;
        if (j > i && j - i <= 64) {
            std::string w = text.substr(i, j - i);
            if (seen.insert(w).second) out.push_back(w);
        }
        i = j + 1;
    }
    return out;
}

// The entries of section, by position, until the section ends (at most 64).
// Checks on the way what each call promises about its buffers and results.
inline Section list_section(XHANDLE h, const std::string &section) {
    Section s;
    for (int32_t i = 0; i < 64; ++i) {
        constexpr int32_t kBig = 1100;
        Guarded key(kBig), value(kBig);
        int32_t ks = kBig, vs = kBig;
        ListedEntry e;
        e.result = XListParmEntry(h, i, section.c_str(), key.chars(), &ks, value.chars(), &vs);
        FUZZ_CHECK(key.intact() && value.intact());
        if (e.result == -4) break;
        if (e.result == -5) {
            e.error = XGetLastError(nullptr);
            // No such section ends the walk; a bad entry is one position.
            if (e.error == ((0x75u << 16) | 2)) break;
            s.push_back(e);
            continue;
        }
        FUZZ_CHECK(e.result == 0 || e.result == -2);  // keys are at most 1024 bytes
        FUZZ_CHECK(ks >= 1 && ks <= 1024 && vs >= 1);
        e.key_len = ks;
        e.value_len = vs;
        e.key = key.str(size_t(ks));
        e.value = value.str(size_t(vs < 1024 ? vs : 1024));
        FUZZ_CHECK((e.result == -2) == (vs > 1024));  // values are cut at 1024 bytes
        // The same entry into small buffers: cut where they end, nothing past them.
        Guarded k2(3), v2(5);
        int32_t ks2 = 3, vs2 = 5;
        int32_t r2 = XListParmEntry(h, i, section.c_str(), k2.chars(), &ks2, v2.chars(), &vs2);
        FUZZ_CHECK(k2.intact() && v2.intact());
        FUZZ_CHECK(ks2 == ks && vs2 == vs);
        FUZZ_CHECK(r2 == -((ks > 3 ? 1 : 0) + (vs > 5 ? 2 : 0)));
        FUZZ_CHECK(std::memcmp(k2.data(), e.key.data(), ks < 3 ? size_t(ks) : 3) == 0);
        FUZZ_CHECK(std::memcmp(v2.data(), e.value.data(), vs < 5 ? size_t(vs) : 5) == 0);
        s.push_back(e);
    }
    return s;
}

inline Snapshot snapshot(XHANDLE h, const std::vector<std::string> &sections) {
    Snapshot snap;
    for (const auto &name : sections) snap[name] = list_section(h, name);
    return snap;
}

}  // namespace zaxfuzz

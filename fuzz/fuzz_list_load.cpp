// Saved-list loading: the input is a capacity, the list's elements before
// the load and the file. A load that fails leaves the list exactly as it
// was (elements and counters); one that succeeds holds the file's records,
// and a file that holds its whole payload loads exactly when its records
// are sound and fit. What loaded saves back in the file's own form.
#include "fuzz_support.h"
#include "xlist.h"

using namespace zaxfuzz;

namespace {

struct State {
    uint32_t count = 0, used = 0, capacity = 0;
    std::vector<std::string> elements;
    bool operator==(const State &) const = default;
};

State state_of(XHANDLE list) {
    State s;
    const auto *r = static_cast<const zax::RegionHeader *>(static_cast<zax::ListHandle *>(list)->region);
    s.count = r->count;
    s.used = r->used;
    s.capacity = r->capacity;
    int32_t n = XGetListNum(list);
    FUZZ_CHECK(n >= 0 && uint32_t(n) == s.count);
    for (int32_t pos = 1; pos <= n; ++pos) {
        std::vector<char> buf(256);
        int32_t len = XPeekList(list, buf.data(), uint32_t(buf.size()), pos);
        FUZZ_CHECK(len > 0);
        if (size_t(len) > buf.size()) {
            buf.resize(size_t(len));
            FUZZ_CHECK(XPeekList(list, buf.data(), uint32_t(buf.size()), pos) == len);
        }
        s.elements.emplace_back(buf.data(), size_t(len));
    }
    return s;
}

uint32_t u32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        if (at + i < s.size()) v |= uint32_t(uint8_t(s[at + i])) << (8 * i);
    return v;
}

std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (size_t i = 0; i < 4; ++i) s[i] = char(v >> (8 * i));
    return s;
}

// The records of a saved-list file that holds its whole payload; false when
// they are not sound or do not fit a list of this capacity.
bool records_of(const std::string &file, uint32_t capacity, std::vector<std::string> &out) {
    uint32_t payload = u32(file, 0), n = u32(file, 4);
    out.clear();
    if (capacity != 0 && capacity < payload) return false;
    if (payload == 0 || n == 0) return true;
    uint64_t at = 8, end = 8 + uint64_t(payload), used = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (at + 4 > end) return false;
        uint32_t size = u32(file, size_t(at));
        at += 4;
        if (size == 0 || at + size > end) return false;
        used += uint64_t(size) + zax::kElementOverhead;
        if (capacity != 0 && used > capacity) return false;
        out.push_back(file.substr(size_t(at), size));
        at += size;
    }
    return true;
}

std::string file_of(const std::vector<std::string> &records) {
    std::string body;
    for (const auto &r : records) body += le32(uint32_t(r.size())) + r;
    return le32(uint32_t(body.size())) + le32(uint32_t(records.size())) + body;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    uint32_t capacity = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(1, 4096);
    int n = in.ConsumeIntegralInRange(0, 3);
    std::string file = in.ConsumeRemainingBytesAsString();
    const std::string path = scratch() + "/LIST", copy = scratch() + "/LIST.saved";
    write_file(path, file);

    XHANDLE list = XCreateList(capacity, -1, 0x4C4C);
    FUZZ_CHECK(list != nullptr);
    for (int i = 0; i < n; ++i) {
        std::string e(size_t(1 + 7 * i), char('a' + i));
        XAddList(list, e.data(), uint32_t(e.size()), -1);
    }
    State before = state_of(list);
    int32_t loaded = XLoadList(list, path.c_str());
    State after = state_of(list);

    std::vector<std::string> records;
    bool whole = file.size() >= 8 && u32(file, 0) <= file.size() - 8;
    bool sound = whole && records_of(file, capacity, records);
    if (loaded != 1) {
        FUZZ_CHECK(after == before);
        FUZZ_CHECK(!sound);
    } else {
        if (whole) FUZZ_CHECK(sound);
        if (sound) FUZZ_CHECK(after.elements == records);
        uint64_t used = 0;
        for (const auto &e : after.elements) used += e.size() + zax::kElementOverhead;
        FUZZ_CHECK(after.used == used && after.capacity == capacity);
        // Saved again, the list makes its file in the one form there is.
        FUZZ_CHECK(XSaveList(list, copy.c_str()) == 1);
        std::string saved = read_file(copy);
        FUZZ_CHECK(saved == file_of(after.elements));
        if (sound && file == file_of(records)) FUZZ_CHECK(saved == file);
    }
    FUZZ_CHECK(XDestroyList(list) == 1);
    return 0;
}

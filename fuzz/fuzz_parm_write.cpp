// Parameter files, written back: the input is a section, a key, a value and
// the file. A handle closed unchanged leaves the file byte for byte; a write
// changes nothing outside its section, reads back through the same handle,
// and the rewritten file reads exactly as the handle did before it closed.
#include "parm_snapshot.h"

using namespace zaxfuzz;

namespace {

// A name that reads back as itself: a word of the format.
bool plain_name(const std::string &s) {
    return !s.empty() && s.find_first_of(std::string(" \t\r\n=:\0", 7)) == std::string::npos;
}

// A value that reads back unchanged: one unquoted word.
bool plain_value(const std::string &s) {
    return !s.empty() && s.find_first_of(std::string(" \t\r\n\"\0", 6)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    use_scratch_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    bool as_int = in.ConsumeBool();
    int32_t number = in.ConsumeIntegral<int32_t>();
    std::string section = in.ConsumeRandomLengthString(1100);
    std::string key = in.ConsumeRandomLengthString(1100);
    std::string value = in.ConsumeRandomLengthString(400);
    std::string text = in.ConsumeRemainingBytesAsString();
    // The calls take zero-terminated strings.
    for (std::string *s : {&section, &key, &value}) s->resize(std::strlen(s->c_str()));
    const std::string dir = scratch(), path = dir + "/PARM";
    write_file(path, text);

    // Opened for writing and closed unchanged: not a byte moves.
    XHANDLE h = XOpenParmFileRW(dir.c_str(), "PARM");
    FUZZ_CHECK(h != X_FAILED_PTR);
    FUZZ_CHECK(XCloseParmFile(h) == 1);
    FUZZ_CHECK(read_file(path) == text);

    std::vector<std::string> names = candidate_names(text);
    names.push_back(section);
    h = XOpenParmFileRW(dir.c_str(), "PARM");
    FUZZ_CHECK(h != X_FAILED_PTR);
    Snapshot before = snapshot(h, names);

    if (as_int) value = std::to_string(number);
    int32_t wrote = as_int ? XWriteParmInt(h, section.c_str(), key.c_str(), number)
                           : XWriteParmStr(h, section.c_str(), key.c_str(), value.c_str(),
                                           int32_t(value.size()) + 1);
    if (wrote != 1) {
        // A refused write changes nothing, in memory or on disk.
        FUZZ_CHECK(snapshot(h, names) == before);
        FUZZ_CHECK(XCloseParmFile(h) == 1);
        FUZZ_CHECK(read_file(path) == text);
        return 0;
    }
    Snapshot after = snapshot(h, names);
    for (const auto &[name, entries] : before)
        if (name != section) FUZZ_CHECK(after[name] == entries);
    // In the section written, the other keys' entries stay, in their order
    // (entries without a value are listed without their key: they may be
    // the one replaced).
    auto others = [&](const Section &s) {
        Section out;
        for (const auto &e : s)
            if (e.result != -5 && e.key != key) out.push_back(e);
        return out;
    };
    FUZZ_CHECK(others(after[section]) == others(before[section]));
    // The value comes back through the handle when names and value are
    // plain words (a value with blanks reads back only with its quotes).
    bool plain = plain_name(section) && plain_name(key) && plain_value(value);
    if (plain) {
        Guarded buf(value.size() + 1);
        int32_t len = XReadParmStr(h, section.c_str(), key.c_str(), buf.chars(),
                                   int32_t(value.size()) + 1);
        FUZZ_CHECK(buf.intact());
        FUZZ_CHECK(len == int32_t(value.size()) && buf.str(value.size()) == value);
    }
    FUZZ_CHECK(XCloseParmFile(h) == 1);

    // The file as rewritten reads as the handle did.
    h = XOpenParmFile(dir.c_str(), "PARM");
    FUZZ_CHECK(h != X_FAILED_PTR);
    FUZZ_CHECK(snapshot(h, names) == after);
    FUZZ_CHECK(XCloseParmFile(h) == 1);
    return 0;
}

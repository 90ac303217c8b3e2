// Line reading against getline, and parameter-file lookups against reading
// the same file whole and parsing it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "zaxxlib.h"

namespace {

std::string g_dir;

// The 100 MB file goes away with the program.
void remove_dir() {
    if (g_dir.empty()) return;
    std::string files[] = {g_dir + "/lines.txt", g_dir + "/bench.ini"};
    for (const std::string &f : files) unlink(f.c_str());
    rmdir(g_dir.c_str());
}

const std::string &dir() {
    if (g_dir.empty()) {
        char tmpl[] = "/tmp/zaxbench_files.XXXXXX";
        g_dir = mkdtemp(tmpl);
        std::atexit(remove_dir);
    }
    return g_dir;
}

// 100 MB of 80-byte lines (79 characters and a line feed), made once.
const std::string &big_file() {
    static std::string path;
    if (path.empty()) {
        path = dir() + "/lines.txt";
        FILE *f = std::fopen(path.c_str(), "wb");
        std::string line(79, 'x');
        line += '\n';
        for (size_t i = 0; i < 100u * 1000 * 1000 / 80; ++i) {
            std::memcpy(line.data(), &i, sizeof i < 8 ? sizeof i : 8);
            std::fwrite(line.data(), 1, line.size(), f);
        }
        std::fclose(f);
    }
    return path;
}

void BM_XReadFileLn(benchmark::State &state) {
    const std::string &p = big_file();
    std::vector<char> buf(size_t(state.range(0)));
    int64_t lines = 0;
    for (auto _ : state) {
        XFILE f = XOpenFile(p.c_str(), 0, X_OPEN_READ);
        int32_t n;
        while ((n = XReadFileLn(f, buf.data(), int32_t(buf.size()))) > 0) ++lines;
        XCloseFile(f);
    }
    state.counters["lines/s"] = benchmark::Counter(double(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_XReadFileLn)->Arg(128)->Arg(1024)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_getline(benchmark::State &state) {
    const std::string &p = big_file();
    int64_t lines = 0;
    char *line = nullptr;
    size_t cap = 0;
    for (auto _ : state) {
        FILE *f = std::fopen(p.c_str(), "rb");
        while (getline(&line, &cap, f) > 0) ++lines;
        std::fclose(f);
    }
    std::free(line);
    state.counters["lines/s"] = benchmark::Counter(double(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_getline)->Iterations(2)->Unit(benchmark::kMillisecond);

// A parameter file of 50 lines: 5 sections of a comment and 9 entries.
const char *parm_file() {
    static std::string name;
    if (name.empty()) {
        name = "bench.ini";
        FILE *f = std::fopen((dir() + "/" + name).c_str(), "wb");
        for (int s = 0; s < 5; ++s) {
            std::fprintf(f, "SECTION%d :\r\n; settings of part %d\r\n", s, s);
            for (int k = 0; k < 8; ++k) std::fprintf(f, "KEY%d = value%d%d ; note\r\n", k, s, k);
        }
        std::fclose(f);
    }
    return name.c_str();
}

void BM_ParmOpenRead20(benchmark::State &state) {
    const char *name = parm_file();
    char buf[64];
    char section[16], key[8];
    for (auto _ : state) {
        XHANDLE h = XOpenParmFile(dir().c_str(), name);
        for (int i = 0; i < 20; ++i) {
            std::snprintf(section, sizeof section, "SECTION%d", i % 5);
            std::snprintf(key, sizeof key, "KEY%d", (i * 3) % 8);
            benchmark::DoNotOptimize(XReadParmStr(h, section, key, buf, sizeof buf));
        }
        XCloseParmFile(h);
    }
}
BENCHMARK(BM_ParmOpenRead20)->Unit(benchmark::kMicrosecond);

// The comparison: read the file whole and parse it into (section, key,
// value) triples, then look the same 20 entries up.
void BM_ParmWholeParse(benchmark::State &state) {
    std::string path = dir() + "/" + parm_file();
    char section[16], key[8];
    struct Entry {
        std::string_view section, key, value;
    };
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string text;
        char chunk[16384];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
        close(fd);
        std::vector<Entry> entries;
        std::string_view cur;
        std::string_view all(text);
        while (!all.empty()) {
            size_t eol = all.find('\n');
            std::string_view line = all.substr(0, eol);
            all = eol == std::string_view::npos ? std::string_view() : all.substr(eol + 1);
            size_t w = line.find_first_of(" \t=:");
            if (w == std::string_view::npos) continue;
            size_t sep = line.find_first_not_of(" \t", w);
            if (sep == std::string_view::npos) continue;
            if (line[sep] == ':') cur = line.substr(0, w);
            if (line[sep] != '=') continue;
            size_t v = line.find_first_not_of(" \t", sep + 1);
            size_t ve = line.find_first_of(" \t\r", v);
            entries.push_back({cur, line.substr(0, w), line.substr(v, ve - v)});
        }
        for (int i = 0; i < 20; ++i) {
            std::snprintf(section, sizeof section, "SECTION%d", i % 5);
            std::snprintf(key, sizeof key, "KEY%d", (i * 3) % 8);
            for (const Entry &e : entries)
                if (e.section == section && e.key == key) {
                    benchmark::DoNotOptimize(e.value.data());
                    break;
                }
        }
    }
}
BENCHMARK(BM_ParmWholeParse)->Unit(benchmark::kMicrosecond);

}  // namespace

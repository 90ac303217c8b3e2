// Trace lines: a line written to a trace file against fprintf and fflush of
// the same line (with and without fsync: by default the trace call forces
// each line to the device; with the durability "write" it only writes it),
// and the cost of a call that the levels filter out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "zaxxlib.h"

namespace {

// A directory with the settings file; the trace file goes beside it.
struct Setup {
    std::string dir;
    explicit Setup(const std::string &settings, bool memory = false) {
        std::string base = memory ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/zaxbench_trace.XXXXXX";
        dir = mkdtemp(tmpl.data());
        std::ofstream(dir + "/XTORASYS") << settings;
        setenv("ZAXXLIB_XSYSTEM", dir.c_str(), 1);
    }
    ~Setup() {
        std::remove((dir + "/XTORASYS").c_str());
        std::remove((dir + "/trace").c_str());
        std::remove((dir + "/stdio").c_str());
        rmdir(dir.c_str());
    }
    std::string trace() const { return dir + "/trace"; }
};

const char kGlobalOnly[] = "XTORASYS :\nTRACE = 2\nDUMP = 0\nBINDINGS = NONE\n";

// Ten bindings, the one traced last in the chain.
std::string per_binding() {
    std::string s = "XTORASYS :\nTRACE = 4\nDUMP = 0\nBINDINGS = S0\n";
    for (int i = 0; i < 10; ++i)
        s += "S" + std::to_string(i) + " :\nID = BINDING" + std::to_string(i) +
             "\nTRACE = 1\nBINDINGS = " + (i < 9 ? "S" + std::to_string(i + 1) : "NONE") + "\n";
    return s;
}

// The same levels, with each line handed to the system in one write and not
// forced to the disk.
const char kWriteOnly[] =
    "XTORASYS :\nTRACE = 2\nDUMP = 0\nBINDINGS = NONE\nTRACE :\nDURABILITY = write\n";

// state.range(0): 0 for a file on disk (/tmp), 1 for one in memory
// (/dev/shm), where the flush to the device costs nothing. state.range(1): 0
// forces every line to the disk (the default), 1 only writes it.
void BM_TraceLineToFile(benchmark::State &state) {
    Setup setup(state.range(1) == 1 ? kWriteOnly : kGlobalOnly, state.range(0) == 1);
    XHANDLE r = XInitDebug(setup.trace().c_str(), 0);
    if (r == nullptr) {
        state.SkipWithError("XInitDebug failed");
        return;
    }
    int64_t n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(XTraceH(r, "BENCH", "request %d took %d ms", int(++n), 42));
    state.SetItemsProcessed(state.iterations());
    XTermDebug(r);
}
BENCHMARK(BM_TraceLineToFile)->ArgNames({"memory", "write"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

// The same line as the trace record, with stdio.
void stdio_line(benchmark::State &state, bool sync) {
    Setup setup(kGlobalOnly, state.range(0) == 1);
    FILE *f = std::fopen((setup.dir + "/stdio").c_str(), "w");
    int64_t n = 0;
    for (auto _ : state) {
        std::fprintf(f, "%02d%02d%02d%02d %-8.8s %s %d took %d ms\n", 12, 34, 56, 78, "BENCH",
                     "request", int(++n), 42);
        std::fflush(f);
        if (sync) fsync(fileno(f));
    }
    state.SetItemsProcessed(state.iterations());
    std::fclose(f);
}

void BM_FprintfFflush(benchmark::State &state) { stdio_line(state, false); }
BENCHMARK(BM_FprintfFflush)->Arg(0)->Arg(1);

void BM_FprintfFflushFsync(benchmark::State &state) { stdio_line(state, true); }
BENCHMARK(BM_FprintfFflushFsync)->Arg(0)->Arg(1);

// Low-level traces of name under settings that filter them out.
void trace_filtered(benchmark::State &state, const std::string &settings, const char *name) {
    Setup setup(settings);
    XHANDLE r = XInitDebug(setup.trace().c_str(), 0);
    if (r == nullptr) {
        state.SkipWithError("XInitDebug failed");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(XTraceL(r, name, "dropped %d", 1));
    XTermDebug(r);
}

// Filtered out by the global mask: no clock read, no formatting.
void BM_TraceFilteredGlobal(benchmark::State &state) { trace_filtered(state, kGlobalOnly, "BENCH"); }
BENCHMARK(BM_TraceFilteredGlobal);

// Filtered out by the binding's own mask (high only), found after nine other
// bindings.
void BM_TraceFilteredPerBinding(benchmark::State &state) {
    trace_filtered(state, per_binding(), "BINDING9");
}
BENCHMARK(BM_TraceFilteredPerBinding);

// Dumps of 64 bytes (an address line and four image lines) to a file in
// memory: the cost of building and writing the lines.
void BM_DumpToFile(benchmark::State &state) {
    Setup setup("XTORASYS :\nTRACE = 0\nDUMP = 1\nBINDINGS = NONE\n", true);
    XHANDLE r = XInitDebug(setup.trace().c_str(), 0);
    if (r == nullptr) {
        state.SkipWithError("XInitDebug failed");
        return;
    }
    char block[64];
    for (int i = 0; i < 64; ++i) block[i] = char(i * 7);
    for (auto _ : state) benchmark::DoNotOptimize(XDump(r, "BENCH", nullptr, block, 64));
    state.SetItemsProcessed(state.iterations() * 5);
    XTermDebug(r);
}
BENCHMARK(BM_DumpToFile);

}  // namespace

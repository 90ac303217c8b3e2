// Platform services: message formatting from a catalog, module look-ups and
// starting and collecting a process, each beside the plain C library call
// that it wraps.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <nl_types.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zaxxlib.h"

extern char **environ;

namespace {

// A catalog built once with gencat in the run-time directory.
std::string catalog() {
    static std::string path;
    if (!path.empty()) return path;
    const char *dir = std::getenv("ZAXXLIB_RUNDIR");
    std::string base = std::string(dir != nullptr ? dir : "/tmp") + "/bench_platform";
    FILE *f = std::fopen((base + ".msg").c_str(), "w");
    std::fputs("$set 1\n1 File %.8s not found in %.40s (code %#.8x)\n", f);
    std::fclose(f);
    std::remove((base + ".cat").c_str());
    std::string cmd = "gencat '" + base + ".cat' '" + base + ".msg'";
    if (std::system(cmd.c_str()) != 0) std::abort();
    path = base + ".cat";
    return path;
}

void BM_GetMsgString(benchmark::State &state) {
    XHANDLE cat = XLoadMsgString(catalog().c_str());
    char buf[128];
    for (auto _ : state) {
        benchmark::DoNotOptimize(XGetMsgString(cat, 1, buf, "ABCDEF", "/var/lib/zax", 0x1234u));
    }
    XUnloadMsgString(cat);
}
BENCHMARK(BM_GetMsgString);

// The same message straight from catgets and snprintf, without the check.
void BM_CatgetsSnprintf(benchmark::State &state) {
    nl_catd cat = catopen(catalog().c_str(), NL_CAT_LOCALE);
    char buf[256];
    for (auto _ : state) {
        const char *t = catgets(cat, 1, 1, "");
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, t, "ABCDEF", "/var/lib/zax", 0x1234u));
    }
    catclose(cat);
}
BENCHMARK(BM_CatgetsSnprintf);

void BM_LoadEntryUnload(benchmark::State &state) {
    for (auto _ : state) {
        XHANDLE m = nullptr;
        XLoadModule(&m, "libm.so.6");
        benchmark::DoNotOptimize(XGetEntry(m, "sqrt"));
        XUnloadModule(m);
    }
}
BENCHMARK(BM_LoadEntryUnload);

void BM_DlopenDlsymDlclose(benchmark::State &state) {
    for (auto _ : state) {
        void *m = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
        benchmark::DoNotOptimize(dlsym(m, "sqrt"));
        dlclose(m);
    }
}
BENCHMARK(BM_DlopenDlsymDlclose);

// Start /bin/true, wait on its handle and collect it.
void BM_CreateWaitTermProcess(benchmark::State &state) {
    for (auto _ : state) {
        XHANDLE rec = nullptr, ev = nullptr;
        if (!XCreateProcess(&rec, "/bin/true", &ev, 0, nullptr)) std::abort();
        if (XWaitEvent(&ev, 1, X_INFINITE) != 0 || XTermProcess(rec, 0) != 1) std::abort();
    }
}
BENCHMARK(BM_CreateWaitTermProcess)->Unit(benchmark::kMicrosecond);

void BM_PosixSpawnWaitpid(benchmark::State &state) {
    char arg0[] = "/bin/true";
    char *argv[] = {arg0, nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) std::abort();
        waitpid(pid, nullptr, 0);
    }
}
BENCHMARK(BM_PosixSpawnWaitpid)->Unit(benchmark::kMicrosecond);

}  // namespace

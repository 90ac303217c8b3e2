// Registry reads and writes against a plain SQLite point query and update on
// the same machine, with the same journal settings (WAL, synchronous=NORMAL).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "zaxxlib.h"

namespace {

// The databases live in a directory of this run only, removed at the end.
struct Dir {
    Dir() {
        const char *base = std::getenv("ZAXXLIB_RUNDIR");
        path = std::string(base != nullptr ? base : "/tmp") + "/zaxbench-reg-" +
               std::to_string(getpid());
        std::filesystem::create_directories(path);
        setenv("ZAXXLIB_REGISTRY_DIR", path.c_str(), 1);
    }
    ~Dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
} g_dir;

void BM_WriteRegIntEx(benchmark::State &state) {
    int32_t i = 0;
    for (auto _ : state)
        if (!XWriteRegIntEx(HKEY_CURRENT_USER, "Bench", "Ex", "n", ++i))
            state.SkipWithError("XWriteRegIntEx failed");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteRegIntEx);

void BM_ReadRegIntEx(benchmark::State &state) {
    XWriteRegIntEx(HKEY_CURRENT_USER, "Bench", "Ex", "n", 1);
    int32_t v = 0;
    for (auto _ : state) {
        if (!XReadRegIntEx(HKEY_CURRENT_USER, "Bench", "Ex", "n", &v))
            state.SkipWithError("XReadRegIntEx failed");
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadRegIntEx);

// Open, read, close each time, while the program holds another handle on
// the key (as a long-running server does).
void BM_OpenReadCloseWithHeldKey(benchmark::State &state) {
    XHANDLE held = XOpenRegistry(HKEY_CURRENT_USER, "Bench", "Held", X_REG_ALL);
    XWriteRegInt(held, "n", 1);
    int32_t v = 0;
    for (auto _ : state) {
        XHANDLE k = XOpenRegistry(HKEY_CURRENT_USER, "Bench", "Held", X_REG_READ);
        if (k == X_FAILED_PTR || !XReadRegInt(k, "n", &v)) state.SkipWithError("read failed");
        XCloseRegistry(k);
        benchmark::DoNotOptimize(v);
    }
    XCloseRegistry(held);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenReadCloseWithHeldKey);

void BM_HeldKeyReadInt(benchmark::State &state) {
    XHANDLE k = XOpenRegistry(HKEY_CURRENT_USER, "Bench", "Held", X_REG_ALL);
    XWriteRegInt(k, "n", 1);
    int32_t v = 0;
    for (auto _ : state) {
        if (!XReadRegInt(k, "n", &v)) state.SkipWithError("XReadRegInt failed");
        benchmark::DoNotOptimize(v);
    }
    XCloseRegistry(k);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeldKeyReadInt);

void BM_HeldKeyWriteInt(benchmark::State &state) {
    XHANDLE k = XOpenRegistry(HKEY_CURRENT_USER, "Bench", "Held", X_REG_ALL);
    int32_t i = 0;
    for (auto _ : state)
        if (!XWriteRegInt(k, "n", ++i)) state.SkipWithError("XWriteRegInt failed");
    XCloseRegistry(k);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HeldKeyWriteInt);

// The floor: one table, one prepared statement, no key lookup.
struct Plain {
    Plain() {
        std::string file = g_dir.path + "/plain.db";
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE IF NOT EXISTS t(k INTEGER PRIMARY KEY, v INTEGER);"
                     "INSERT OR REPLACE INTO t VALUES(1, 1);",
                     nullptr, nullptr, nullptr);
    }
    ~Plain() { sqlite3_close(db); }
    sqlite3 *db = nullptr;
};

void BM_SqlitePointQuery(benchmark::State &state) {
    Plain p;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(p.db, "SELECT v FROM t WHERE k = ?1", -1, &st, nullptr);
    for (auto _ : state) {
        sqlite3_bind_int(st, 1, 1);
        if (sqlite3_step(st) != SQLITE_ROW) state.SkipWithError("select failed");
        benchmark::DoNotOptimize(sqlite3_column_int(st, 0));
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqlitePointQuery);

void BM_SqliteUpdate(benchmark::State &state) {
    Plain p;
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(p.db, "UPDATE t SET v = ?2 WHERE k = ?1", -1, &st, nullptr);
    int i = 0;
    for (auto _ : state) {
        sqlite3_bind_int(st, 1, 1);
        sqlite3_bind_int(st, 2, ++i);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("update failed");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteUpdate);

}  // namespace

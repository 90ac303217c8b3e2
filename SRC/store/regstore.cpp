#include "store/regstore.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "os/env.h"
#include "os/file.h"
#include "os/sys.h"
#include "os/syscall.h"
#include "os/sysinfo.h"
#include "os/wait.h"

namespace zax::reg {

namespace sys = os::sys;
namespace {

// Long enough that a burst of writers from several processes queues up
// instead of failing; short enough that a stuck writer shows as an error.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

const char *const kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle stays stale
    " parent INTEGER NOT NULL,"               // 0 for the keys below the hive's root
    " name TEXT NOT NULL COLLATE NOCASE,"
    " UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"  // creation order
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE(key, name));"
    "CREATE INDEX IF NOT EXISTS vals_by_key ON vals(key);"
    "PRAGMA application_id = 0x5A415852;"  // "ZAXR"
    "PRAGMA user_version = 1;";

enum Stmt {
    kBegin,
    kBeginWrite,
    kCommit,
    kRollback,
    kFindChild,
    kInsertKey,
    kKeyExists,
    kGetValue,
    kSetValue,
    kDeleteValue,
    kSubKeyAt,
    kValueAt,
    kHasChild,
    kDeleteValues,
    kDeleteKey,
    kStmtCount
};

const char *const kSql[kStmtCount] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT id FROM keys WHERE parent = ?1 AND name = ?2",
    "INSERT INTO keys(parent, name) VALUES(?1, ?2)",
    "SELECT 1 FROM keys WHERE id = ?1",
    "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2",
    // Overwriting keeps the value's place in the creation order and the
    // case of its name.
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
    " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data",
    "DELETE FROM vals WHERE key = ?1 AND name = ?2",
    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2",
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq LIMIT 1 OFFSET ?2",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM vals WHERE key = ?1",
    "DELETE FROM keys WHERE id = ?1",
};

// One connection to one database file, shared by the open keys that use it.
struct Db {
    sqlite3 *conn = nullptr;
    std::string path;
    uint32_t pid = 0;  // a connection must not be used across fork
    int refs = 0;
    sqlite3_stmt *stmts[kStmtCount] = {};
};

}  // namespace

struct Key {
    Db *db;
    Hive hive;
    int64_t id;  // 0: the hive's root
    uint32_t rights;
};

namespace {

// One lock for the whole store: a connection is used by one thread at a time,
// and a transaction is never interleaved with another thread's statements.
std::mutex g_lock;
Db *g_current[2] = {};
void fork_prepare() { g_lock.lock(); }
void fork_parent() { g_lock.unlock(); }
void fork_child() { g_lock.unlock(); }  // the pid check retires the parent's connections
// Once per process, on first use of the store.
void install_fork_handlers() {
    static const int installed = os::at_fork(fork_prepare, fork_parent, fork_child);
    (void)installed;
}

int sqlite_error(int rc) { return kSqliteBase | rc; }

// SQLite's unix file system reaches the layer's system-call table through
// these, so that a test that replaces a call there reaches the databases too.
int sq_open(const char *path, int flags, int mode) { return sys::open(path, flags, mode_t(mode)); }
int sq_close(int fd) { return sys::close(fd); }
ssize_t sq_read(int fd, void *buf, size_t n) { return sys::read(fd, buf, n); }
ssize_t sq_pread64(int fd, void *buf, size_t n, off_t at) { return sys::pread(fd, buf, n, at); }
ssize_t sq_write(int fd, const void *buf, size_t n) { return sys::write(fd, buf, n); }
ssize_t sq_pwrite64(int fd, const void *buf, size_t n, off_t at) {
    return sys::pwrite(fd, buf, n, at);
}
int sq_fstat(int fd, struct stat *st) { return sys::fstat(fd, st); }
int sq_ftruncate(int fd, off_t length) { return sys::ftruncate(fd, length); }
int sq_unlink(const char *path) { return sys::unlink(path); }

struct Route {
    const char *name;
    sqlite3_syscall_ptr fn;
};
const Route kRoutes[] = {
    {"open", reinterpret_cast<sqlite3_syscall_ptr>(&sq_open)},
    {"close", reinterpret_cast<sqlite3_syscall_ptr>(&sq_close)},
    {"read", reinterpret_cast<sqlite3_syscall_ptr>(&sq_read)},
    {"pread64", reinterpret_cast<sqlite3_syscall_ptr>(&sq_pread64)},
    {"write", reinterpret_cast<sqlite3_syscall_ptr>(&sq_write)},
    {"pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(&sq_pwrite64)},
    {"fstat", reinterpret_cast<sqlite3_syscall_ptr>(&sq_fstat)},
    {"ftruncate", reinterpret_cast<sqlite3_syscall_ptr>(&sq_ftruncate)},
    {"unlink", reinterpret_cast<sqlite3_syscall_ptr>(&sq_unlink)},
};
bool g_routed = false;  // SQLite's calls go through the table (under g_lock)

// SQLite's unix file system is process-wide: it is routed through the table
// only while a test has replaced an entry, and given its own calls back
// otherwise, so that a program's own databases never depend on this library.
void route_sqlite(bool on) {
    if (on == g_routed) return;
    sqlite3_vfs *vfs = sqlite3_vfs_find("unix");
    if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) return;
    for (const Route &r : kRoutes) vfs->xSetSystemCall(vfs, r.name, on ? r.fn : nullptr);
    g_routed = on;
}

void follow_table() { route_sqlite(sys::replaced_count() > 0); }

void close_db(Db *d) {
    for (auto &s : d->stmts)
        if (s != nullptr) sqlite3_finalize(s);
    sqlite3_close(d->conn);
    delete d;
}

void release(Db *d) {
    if (--d->refs > 0) return;
    // A connection inherited through fork belongs to the parent: closing it
    // here could disturb the parent's locks, so the child only forgets it.
    if (d->pid == os::process_id()) close_db(d);
}

// At exit, close the connections that no open key uses: SQLite then folds
// the write-ahead log into the database and removes its side files. Made by
// the first use of the store.
struct CloseAtExit {
    ~CloseAtExit() {
        std::lock_guard<std::mutex> hold(g_lock);
        for (Db *&d : g_current) {
            if (d != nullptr && d->refs == 1 && d->pid == os::process_id()) {
                close_db(d);
                d = nullptr;
            }
        }
        route_sqlite(false);
    }
};

// Runs sql that returns no rows (or whose rows do not matter).
int exec(sqlite3 *conn, const char *sql) {
    int rc = sqlite3_exec(conn, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : sqlite_error(sqlite3_extended_errcode(conn));
}

std::string env(const char *name) {
    char buf[4096];
    long n = os::env_get(name, buf, sizeof buf);
    return n > 0 && size_t(n) < sizeof buf ? std::string(buf, size_t(n)) : std::string();
}

// The directory of hive's database and the mode to create it with.
int database_dir(Hive hive, std::string &dir, uint32_t &mode) {
    mode = 0755;
    dir = env("ZAXXLIB_REGISTRY_DIR");
    if (dir.empty()) {
        if (hive == Hive::machine) {
            dir = "/var/lib/zaxxlib";
        } else {
            mode = 0700;  // one user's settings
            std::string base = env("XDG_DATA_HOME");
            if (base.empty() || base[0] != '/') {
                std::string home = env("HOME");
                if (home.empty())
                    if (int err = os::home_dir(&home)) return err;
                base = home + "/.local/share";
            }
            dir = base + "/zaxxlib";
        }
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return 0;
}

// Switches the connection to WAL and makes or checks the schema; 0 or an
// error. The first statements read the file's header: a file that is not a
// database fails here, before anything is written to it.
int prepare_schema(sqlite3 *conn) {
    int rc;
    int err = exec(conn, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
    if (err == 0) {
        sqlite3_stmt *st = nullptr;
        rc = sqlite3_prepare_v2(conn, "PRAGMA user_version", -1, &st, nullptr);
        int version = 0;
        if (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            version = sqlite3_column_int(st, 0);
            rc = SQLITE_OK;
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_OK) {
            err = sqlite_error(sqlite3_extended_errcode(conn));
        } else if (version > kSchemaVersion) {
            err = sqlite_error(SQLITE_SCHEMA);  // written by a newer library
        } else if (version < kSchemaVersion) {
            err = exec(conn, "BEGIN IMMEDIATE");
            if (err == 0) {
                err = exec(conn, kSchema);
                err = err == 0 ? exec(conn, "COMMIT") : (exec(conn, "ROLLBACK"), err);
            }
        }
    }
    return err;
}

int open_db(const std::string &path, Db *&out) {
    sqlite3 *conn = nullptr;
    // Our own lock serialises every use of a connection, so SQLite's is not needed.
    int rc = sqlite3_open_v2(path.c_str(), &conn,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        int sys = conn != nullptr ? sqlite3_system_errno(conn) : 0;
        int err = sys != 0 ? sys : sqlite_error(conn != nullptr ? sqlite3_extended_errcode(conn) : rc);
        sqlite3_close(conn);
        return err;
    }
    sqlite3_extended_result_codes(conn, 1);
    sqlite3_busy_timeout(conn, kBusyTimeoutMs);
    // Two processes that make a new database at once: the switch to WAL and
    // the schema can report "busy" without calling the busy handler, so the
    // set-up itself is retried within the busy time-out.
    int err = 0;
    for (int waited = 0;; waited += 10) {
        err = prepare_schema(conn);
        if ((err & 0x100FF) != sqlite_error(SQLITE_BUSY) || waited >= kBusyTimeoutMs) break;
        os::sleep_ms(10);
    }
    auto *d = err == 0 ? new (std::nothrow) Db : nullptr;
    if (err == 0 && d == nullptr) err = ENOMEM;
    for (int i = 0; err == 0 && i < kStmtCount; ++i) {
        rc = sqlite3_prepare_v3(conn, kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &d->stmts[i],
                                nullptr);
        if (rc != SQLITE_OK) err = sqlite_error(sqlite3_extended_errcode(conn));
    }
    if (err != 0) {
        if (d != nullptr) {
            for (auto &s : d->stmts) sqlite3_finalize(s);
            delete d;
        }
        sqlite3_close(conn);
        return err;
    }
    d->conn = conn;
    d->path = path;
    d->pid = os::process_id();
    d->refs = 1;
    out = d;
    return 0;
}

// The connection for hive's current database (the environment may name
// another directory at any call). Without create a missing database gives
// ENOENT and no file or directory is made. Called under g_lock.
int current_db(Hive hive, bool create, Db *&out) {
    install_fork_handlers();
    static CloseAtExit close_at_exit;
    (void)close_at_exit;
    follow_table();
    std::string path;
    if (int err = database_path(hive, path)) return err;
    Db *&slot = g_current[hive == Hive::machine ? 0 : 1];
    if (slot != nullptr && slot->path == path && slot->pid == os::process_id()) {
        out = slot;
        return 0;
    }
    if (create) {
        std::string dir;
        uint32_t mode;
        if (int err = database_dir(hive, dir, mode)) return err;
        if (int err = os::make_dirs(dir, mode)) return err;
    } else if (int err = os::file_exists(path.c_str())) {
        return err;
    }
    Db *d = nullptr;
    if (int err = open_db(path, d)) return err;
    if (slot != nullptr) release(slot);
    slot = d;
    out = d;
    return 0;
}

// A cached statement, reset and unbound when the scope ends.
class Query {
public:
    Query(Db *d, Stmt s) : st_(d->stmts[s]), conn_(d->conn) {}
    ~Query() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    Query &bind(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Query &bind(int i, const char *text) {
        sqlite3_bind_text(st_, i, text, int(std::strlen(text)), SQLITE_STATIC);
        return *this;
    }
    Query &bind_blob(int i, const void *data, size_t size) {
        // An empty blob must still be a blob, not NULL.
        sqlite3_bind_blob(st_, i, size > 0 ? data : "", int(size), SQLITE_STATIC);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or another result code.
    int step() { return sqlite3_step(st_); }
    // 0 after SQLITE_DONE, else the store's number for the failure.
    int run() {
        int rc = step();
        return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : error();
    }
    int error() const { return sqlite_error(sqlite3_extended_errcode(conn_)); }
    int64_t int_at(int c) const { return sqlite3_column_int64(st_, c); }
    std::string bytes_at(int c) const {
        const void *p = sqlite3_column_blob(st_, c);
        int n = sqlite3_column_bytes(st_, c);
        return p != nullptr && n > 0 ? std::string(static_cast<const char *>(p), size_t(n))
                                     : std::string();
    }

private:
    sqlite3_stmt *st_;
    sqlite3 *conn_;
};

// One transaction: rolled back unless committed.
class Txn {
public:
    explicit Txn(Db *d) : d_(d) {}
    ~Txn() {
        if (open_) Query(d_, kRollback).run();
    }
    // A change takes the write lock at once, so that two writers queue on
    // the busy time-out instead of deadlocking on a lock upgrade.
    int begin(bool write) {
        int err = Query(d_, write ? kBeginWrite : kBegin).run();
        open_ = err == 0;
        return err;
    }
    int commit() {
        int err = Query(d_, kCommit).run();
        if (err == 0) open_ = false;
        return err;
    }

private:
    Db *d_;
    bool open_ = false;
};

int split(const std::string &path, std::vector<std::string> &names) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            if (end - start > kMaxKeyName) return ENAMETOOLONG;
            names.emplace_back(path, start, end - start);
        }
        start = end + 1;
    }
    return 0;
}

// The id of the key at names, making missing keys when create. Inside a
// transaction (a writing one when create).
int resolve(Db *d, const std::vector<std::string> &names, bool create, int64_t &id) {
    int64_t cur = 0;
    for (const auto &n : names) {
        Query find(d, kFindChild);
        find.bind(1, cur).bind(2, n.c_str());
        int rc = find.step();
        if (rc == SQLITE_ROW) {
            cur = find.int_at(0);
            continue;
        }
        if (rc != SQLITE_DONE) return find.error();
        if (!create) return ENOENT;
        Query insert(d, kInsertKey);
        if (int err = insert.bind(1, cur).bind(2, n.c_str()).run()) return err;
        cur = sqlite3_last_insert_rowid(d->conn);
    }
    id = cur;
    return 0;
}

int key_exists(Db *d, int64_t id) {
    if (id == 0) return 0;
    Query q(d, kKeyExists);
    int rc = q.bind(1, id).step();
    return rc == SQLITE_ROW ? 0 : rc == SQLITE_DONE ? ESTALE : q.error();
}

// Checks that key has the right; moves a key inherited through
// fork onto this process's connection. Called under g_lock.
int use_key(Key *key, uint32_t right) {
    if ((key->rights & right) == 0) return EACCES;
    follow_table();
    if (key->db->pid != os::process_id()) {
        Db *d = nullptr;
        if (int err = open_db(key->db->path, d)) return err;
        release(key->db);
        key->db = d;
    }
    return 0;
}

}  // namespace

int database_path(Hive hive, std::string &path) {
    std::string dir;
    uint32_t mode;
    if (int err = database_dir(hive, dir, mode)) return err;
    path = dir + (hive == Hive::machine ? "/machine.db" : "/user.db");
    return 0;
}

int open_key(Hive hive, const std::string &path, bool create, uint32_t rights, Key *&out) {
    std::vector<std::string> names;
    if (int err = split(path, names)) return err;
    std::lock_guard<std::mutex> hold(g_lock);
    Db *d = nullptr;
    if (int err = current_db(hive, create, d)) return err;
    int64_t id = 0;
    {
        Txn txn(d);
        if (int err = txn.begin(create)) return err;
        if (int err = resolve(d, names, create, id)) return err;
        if (int err = txn.commit()) return err;
    }
    Key *key = new (std::nothrow) Key{d, hive, id, rights};
    if (key == nullptr) return ENOMEM;
    ++d->refs;
    out = key;
    return 0;
}

int close_key(Key *key) {
    std::lock_guard<std::mutex> hold(g_lock);
    release(key->db);
    delete key;
    return 0;
}

namespace {

// Runs work(d) on an open key whose handle allows access, in a transaction
// (a write one for kWrite, committed when work succeeds) in which the key is
// known to still exist.
template <class Work>
int in_key(Key *key, uint32_t access, Work work) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (int err = use_key(key, access)) return err;
    Db *d = key->db;
    Txn txn(d);
    const bool write = access == kWrite;
    if (int err = txn.begin(write)) return err;
    if (int err = key_exists(d, key->id)) return err;
    if (int err = work(d)) return err;
    return write ? txn.commit() : 0;
}

// Row index of an enumeration (sub-keys or values) of a readable key, handed
// to take; ENODATA past the end.
template <class Take>
int row_at(Key *key, Stmt stmt, uint32_t index, Take take) {
    return in_key(key, kRead, [&](Db *d) {
        Query q(d, stmt);
        int rc = q.bind(1, key->id).bind(2, int64_t(index)).step();
        if (rc == SQLITE_DONE) return ENODATA;
        if (rc != SQLITE_ROW) return q.error();
        take(q);
        return 0;
    });
}

}  // namespace

int get_value(Key *key, const char *name, size_t limit, uint32_t &type, std::string &data) {
    return in_key(key, kRead, [&](Db *d) {
        Query q(d, kGetValue);
        int rc = q.bind(1, key->id).bind(2, name).step();
        if (rc == SQLITE_DONE) return ENOENT;
        if (rc != SQLITE_ROW) return q.error();
        std::string bytes = q.bytes_at(1);
        if (bytes.size() > limit) return E2BIG;
        type = uint32_t(q.int_at(0));
        data.swap(bytes);
        return 0;
    });
}

int set_value(Key *key, const char *name, uint32_t type, const void *data, size_t size) {
    if (std::strlen(name) > kMaxValueName) return ENAMETOOLONG;
    return in_key(key, kWrite, [&](Db *d) {
        Query q(d, kSetValue);
        q.bind(1, key->id).bind(2, name).bind(3, int64_t(type)).bind_blob(4, data, size);
        return q.run();
    });
}

int delete_value(Key *key, const char *name) {
    return in_key(key, kWrite, [&](Db *d) {
        Query q(d, kDeleteValue);
        if (int err = q.bind(1, key->id).bind(2, name).run()) return err;
        return sqlite3_changes(d->conn) == 0 ? ENOENT : 0;
    });
}

int sub_key_at(Key *key, uint32_t index, std::string &name) {
    return row_at(key, kSubKeyAt, index, [&](Query &q) { name = q.bytes_at(0); });
}

int value_at(Key *key, uint32_t index, std::string &name, uint32_t &type, std::string &data) {
    return row_at(key, kValueAt, index, [&](Query &q) {
        name = q.bytes_at(0);
        type = uint32_t(q.int_at(1));
        data = q.bytes_at(2);
    });
}

int delete_key(Hive hive, const std::string &path) {
    std::vector<std::string> names;
    if (int err = split(path, names)) return err;
    std::lock_guard<std::mutex> hold(g_lock);
    Db *d = nullptr;
    if (int err = current_db(hive, false, d)) return err;
    Txn txn(d);
    if (int err = txn.begin(true)) return err;
    int64_t id = 0;
    if (int err = resolve(d, names, false, id)) return err;
    if (id == 0) return EACCES;  // the hive's root stays
    {
        Query q(d, kHasChild);
        int rc = q.bind(1, id).step();
        if (rc == SQLITE_ROW) return ENOTEMPTY;
        if (rc != SQLITE_DONE) return q.error();
    }
    if (int err = Query(d, kDeleteValues).bind(1, id).run()) return err;
    if (int err = Query(d, kDeleteKey).bind(1, id).run()) return err;
    return txn.commit();
}

}  // namespace zax::reg

// xlistr: global lists on a Redis server.
//
// The settings ("REDIS" in "XTORASYS", or ZAXXLIB_REDIS_* in the
// environment) name a server and the keys whose global lists live there. Such
// a list is five keys on the server, all of one hash tag:
//   zaxxlib:{KKKKKKKK}:meta   hash: cap, tag, used (data + 12 per element),
//                             free and total (4-byte words, as a region counts them)
//   zaxxlib:{KKKKKKKK}:data   the elements, first to last
//   zaxxlib:{KKKKKKKK}:users  hash: process token -> "attachments lease-end"
//   zaxxlib:{KKKKKKKK}:lock   the thread that holds the list lock (X_lock_list)
//   zaxxlib:{KKKKKKKK}:ops    per thread, its last operation: done, or cancelled
// Every operation is one Lua script, so that it is atomic on the server.
// A process's attachments count while its lease runs; the companion renews
// the leases (and a held list lock) every third of the lease, so a process
// that dies stops counting when its lease ends.
//
// An operation whose connection fails after the request went out may or may
// not have run. Each changing operation carries an identifier; a new
// connection then asks the server, which either finds the operation done (the
// call succeeds with its result) or marks it cancelled, so that it can never
// run late, and the operation is tried once more.
//
// The handle is a list handle like any other; its region is a record of this
// process whose header has type kRemoteType and which is known to a table of
// live handles.
#include "xlistr.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../companions/zaxredis/zaxredis.h"
#include "os/companion.h"
#include "os/env.h"
#include "os/mutex.h"
#include "os/sys.h"
#include "os/sysinfo.h"
#include "os/wait.h"
#include "xfile.h"
#include "xint.h"
#include "xsysfl.h"

namespace zax::remote {
namespace {

// The reason of every list function for a server that cannot be used (kind
// 1, the errno) and for a list that is no longer on it (EIDRM).
constexpr Reason kServerReason =
    same_reason(R_XCreateGlobalList_SERVER_FAILED, R_XDestroyGlobalList_SERVER_FAILED,
                R_XAddListT_SERVER_FAILED, R_XRemoveListT_SERVER_FAILED, R_XPeekListT_SERVER_FAILED,
                R_XGetListNumT_SERVER_FAILED, R_XSaveListT_SERVER_FAILED,
                R_XLoadListT_SERVER_FAILED, R_XLockObj_SERVER_FAILED, R_XUnlockObj_SERVER_FAILED);

constexpr char kSection[] = "REDIS";
constexpr char kCompanion[] = ZAX_COMPANION_FILE("zaxredis");
constexpr char kCompanionEnv[] = "ZAXXLIB_ZAXREDIS";
constexpr char kCompanionEntry[] = "ZaxRedisEntry";

// Decimal text of a number (the scripts' arguments).
std::string dec(long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lld", v);
    return buf;
}

// ---------------------------------------------------------------------------
// Settings

struct Settings {
    std::string url;  // empty: no list lives on Redis
    std::string keys = "ALL";
    std::string password_file;
    uint32_t connect_ms = 2000, io_ms = 5000, lease_ms = 30000;
    // From the URL.
    std::string host;
    uint32_t port = 6379, db = 0;
};

bool parse_number(std::string_view s, uint64_t max, uint64_t *out) {
    std::string t(s);
    size_t b = t.find_first_not_of(" \t"), e = t.find_last_not_of(" \t");
    if (b == std::string::npos) return false;
    t = t.substr(b, e - b + 1);
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(t.c_str(), &end, 0);
    if (errno != 0 || end == t.c_str() || *end != '\0' || t[0] == '-' || v > max) return false;
    *out = v;
    return true;
}

// redis://host[:port][/db]; a host in brackets may hold colons (IPv6).
bool parse_url(const std::string &url, Settings *s) {
    constexpr std::string_view kScheme = "redis://";
    if (url.compare(0, kScheme.size(), kScheme) != 0) return false;
    std::string_view rest(url);
    rest.remove_prefix(kScheme.size());
    size_t end;
    if (!rest.empty() && rest[0] == '[') {
        end = rest.find(']');
        if (end == std::string_view::npos) return false;
        s->host = std::string(rest.substr(1, end - 1));
        rest.remove_prefix(end + 1);
    } else {
        end = rest.find_first_of(":/");
        s->host = std::string(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    if (s->host.empty()) return false;
    uint64_t v;
    if (!rest.empty() && rest[0] == ':') {
        size_t slash = rest.find('/');
        if (!parse_number(rest.substr(1, slash == std::string_view::npos ? std::string_view::npos
                                                                          : slash - 1),
                          65535, &v) ||
            v == 0)
            return false;
        s->port = uint32_t(v);
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash);
    }
    if (!rest.empty()) {
        if (rest.size() == 1) return true;  // a bare "/" is database 0
        if (!parse_number(rest.substr(1), 0x7FFFFFFF, &v)) return false;
        s->db = uint32_t(v);
    }
    return true;
}

// Whether key is one of "ALL" or a comma-separated list of keys and ranges
// "first-last" (decimal, or hexadecimal with 0x); *bad for anything else.
bool key_selected(const std::string &selection, uint32_t key, bool *bad) {
    *bad = false;
    std::string t;
    for (char c : selection)
        if (c != ' ' && c != '\t') t += c;
    if (t.size() == 3 && (t[0] | 0x20) == 'a' && (t[1] | 0x20) == 'l' && (t[2] | 0x20) == 'l')
        return true;
    bool hit = false;
    size_t pos = 0;
    while (pos <= t.size() && !t.empty()) {
        size_t comma = t.find(',', pos);
        std::string item = t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t dash = item.find('-');
        uint64_t lo, hi;
        bool ok = dash == std::string::npos
                      ? parse_number(item, UINT32_MAX, &lo) && ((hi = lo), true)
                      : parse_number(item.substr(0, dash), UINT32_MAX, &lo) &&
                            parse_number(item.substr(dash + 1), UINT32_MAX, &hi) && lo <= hi;
        if (!ok) {
            *bad = true;
            return true;
        }
        hit = hit || (key >= lo && key <= hi);
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return hit;
}

// One entry: the environment variable ZAXXLIB_REDIS_<name> when it is set,
// else the entry of the settings file. True when either gave a value.
bool setting(parm::File *file, const char *name, std::string *out) {
    char buf[1024];
    std::string env = std::string("ZAXXLIB_REDIS_") + name;
    long n = os::env_get(env.c_str(), buf, sizeof buf);
    if (n >= 0) {
        out->assign(buf, size_t(std::min<long>(n, long(sizeof buf) - 1)));
        return true;
    }
    int32_t len = 0;
    if (file == nullptr ||
        parm::read_str(file, kSection, name, buf, int32_t(sizeof buf) - 1, &len).failed())
        return false;
    out->assign(buf, size_t(std::min<int32_t>(len, int32_t(sizeof buf) - 1)));
    return true;
}

// Reads the settings: 0, or EINVAL when they are malformed. A settings file
// that cannot be opened counts as none.
int read_settings(Settings *s) {
    parm::File *file = nullptr;
    if (open_config_file("XTORASYS", &file).failed()) file = nullptr;
    std::string v;
    int err = 0;
    if (setting(file, "URL", &v)) s->url = v;
    if (setting(file, "KEYS", &v)) s->keys = v;
    if (setting(file, "PASSWORD_FILE", &v)) s->password_file = v;
    struct {
        const char *name;
        uint32_t *to;
    } times[] = {{"CONNECT_TIMEOUT", &s->connect_ms}, {"TIMEOUT", &s->io_ms}, {"LEASE", &s->lease_ms}};
    for (auto &t : times) {
        uint64_t n;
        if (setting(file, t.name, &v)) {
            if (parse_number(v, 86400000, &n) && n > 0) *t.to = uint32_t(n);
            else err = EINVAL;
        }
    }
    if (file != nullptr) (void)parm::close(file);
    if (!s->url.empty() && !parse_url(s->url, s)) err = EINVAL;
    return err;
}

// The password: the first line of the file. 0 or the errno of reading it.
int read_password(const std::string &name, std::string *out) {
    if (name.empty()) return 0;
    XFILE f = 0;
    char buf[1024];
    int32_t n = 0;
    Status s = file::open(name.c_str(), X_OPEN_READ, &f);
    if (!s.failed()) {
        s = file::read(f, buf, sizeof buf, &n);
        (void)file::close(f);
    }
    if (s.failed()) return s.kind == kSystem && s.detail != 0 ? int(s.detail) : EIO;
    std::string_view text(buf, size_t(n));
    out->assign(text.substr(0, text.find_first_of("\r\n")));
    return 0;
}

// ---------------------------------------------------------------------------
// The companion and the clients of each server

// A client for each distinct server settings; never freed.
struct ClientNode {
    std::string key;
    void *client;
    ClientNode *next;
};

std::mutex g_lock;                   // the two below
const ZaxRedisApi *g_api = nullptr;  // once loaded, kept
ClientNode *g_clients = nullptr;

// The companion's table, loading it on first use: 0 or an errno value.
int api(const ZaxRedisApi **out) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_api == nullptr) {
        os::CompanionFailure why = os::kCompanionLoaded;
        auto entry = reinterpret_cast<ZaxRedisEntryFn>(
            os::companion_entry(kCompanion, kCompanionEnv, kCompanionEntry, &why));
        if (entry == nullptr) return why == os::kCompanionNoLibrary ? ELIBACC : ELIBBAD;
        const ZaxRedisApi *a = entry();
        if (a == nullptr || a->size < sizeof(ZaxRedisApi) || a->version != ZAXREDIS_VERSION)
            return ELIBBAD;
        g_api = a;
    }
    *out = g_api;
    return 0;
}

// The client of the server of s (one per distinct settings): 0 or errno.
int client_for(const Settings &s, const ZaxRedisApi *a, void **out) {
    std::string password;
    if (int err = read_password(s.password_file, &password)) return err;
    char id[64];
    std::snprintf(id, sizeof id, " %u %u %u %u %u ", s.port, s.db, s.connect_ms, s.io_ms,
                  s.lease_ms);
    std::string key = s.host + id + password;
    std::lock_guard<std::mutex> hold(g_lock);
    for (ClientNode *n = g_clients; n != nullptr; n = n->next) {
        if (n->key == key) {
            *out = n->client;
            return 0;
        }
    }
    ZaxRedisServer server{s.host.c_str(), s.port, s.db,
                          password.empty() ? nullptr : password.c_str(),
                          s.connect_ms, s.io_ms, s.lease_ms / 3};
    auto *node = new (std::nothrow) ClientNode{key, nullptr, g_clients};
    void *c = node != nullptr ? a->open(&server) : nullptr;
    if (c == nullptr) {
        delete node;
        return ENOMEM;
    }
    node->client = c;
    g_clients = node;
    *out = c;
    return 0;
}

// ---------------------------------------------------------------------------
// Who is asking: a process token (host, process, a random number, so that a
// process of another machine or a later one of the same number is another
// user), and a thread token under it.

std::string process_token() {
    static std::mutex lock;
    static uint32_t pid = 0;
    static std::string *token = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    uint32_t now = os::process_id();
    if (token == nullptr || pid != now) {
        char host[256] = "host";
        (void)os::host_name(host, sizeof host);
        std::random_device rd;
        char buf[400];
        std::snprintf(buf, sizeof buf, "%s:%u:%08x%08x", host, now, rd(), rd());
        if (token == nullptr) token = new std::string;
        *token = buf;
        pid = now;
    }
    return *token;
}

std::string thread_token() { return process_token() + ":" + dec(os::self_tid()); }

std::atomic<uint64_t> g_next_op{1};

// ---------------------------------------------------------------------------
// The scripts. KEYS: meta, data, users, lock, ops. Every script answers an
// array whose first element says how it went:
//   1 done (results follow)    0 refused: function code, reason, detail follow
//  -2 another thread holds the list lock    -3 the list is not on the server
//  -4 this operation was cancelled
// Function codes in the scripts: 0xAA 170, 0xAC 172, 0xB6 182, 0xB7 183, 0xB8 184.

// Element operations: ARGV[1] the thread token, ARGV[2] the operation's identifier.
#define ZAX_ELEMENT_PRELUDE                                                              \
    "local meta, data, users, lockk, ops = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]\n" \
    "local me, opid = ARGV[1], ARGV[2]\n"                                                \
    "local function held() local o = redis.call('GET', lockk) return o and o ~= me end\n" \
    "local function cancelled() return redis.call('HGET', ops, me) == opid .. '!' end\n"  \
    "local function index_of(count, pos)\n"                                              \
    "  if count == 0 then return nil end\n"                                              \
    "  if pos == -1 then return count - 1 end\n"                                         \
    "  if pos == 0 then return 0 end\n"                                                  \
    "  if pos >= 1 and pos <= count then return pos - 1 end\n"                          \
    "  return nil\n"                                                                     \
    "end\n"

// ARGV[3] position, ARGV[4] data.
const char kAdd[] = ZAX_ELEMENT_PRELUDE R"(
local m = redis.call('HMGET', meta, 'cap', 'used', 'free')
if not m[1] then return {-3} end
if held() then return {-2} end
if cancelled() then return {-4} end
local cap, used, free = tonumber(m[1]), tonumber(m[2]), tonumber(m[3])
local v = ARGV[4]
local need = #v + 12
if cap - used < need then return {0, 182, 3, 0} end
local count = redis.call('LLEN', data)
local pos = tonumber(ARGV[3])
local index
if pos == -1 or pos == count + 1 then index = count
elseif pos == 0 then index = 0
elseif pos >= 1 and pos <= count then index = pos - 1
else return {0, 182, 2, 0} end
local words = math.floor((need + 3) / 4)
if words > free then return {0, 172, 2, 0} end
if index == count then redis.call('RPUSH', data, v)
elseif index == 0 then redis.call('LPUSH', data, v)
else
  -- No element is empty: an empty mark names the place to insert before.
  local at = redis.call('LINDEX', data, index)
  redis.call('LSET', data, index, '')
  redis.call('LINSERT', data, 'BEFORE', '', v)
  redis.call('LSET', data, index + 1, at)
end
redis.call('HSET', meta, 'used', used + need, 'free', free - words)
redis.call('HSET', ops, me, opid)
return {1}
)";

// ARGV[3] position, ARGV[4] buffer size, -1 for no buffer.
const char kRemove[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {-3} end
if held() then return {-2} end
if cancelled() then return {-4} end
local count = redis.call('LLEN', data)
local index = index_of(count, tonumber(ARGV[3]))
if not index then return {0, 183, 3, 0} end
local v = redis.call('LINDEX', data, index)
if not v then return {0, 183, 3, 1} end
local buf = tonumber(ARGV[4])
if buf >= 0 and #v > buf then return {0, 183, 2, 0, string.sub(v, 1, buf)} end
if index == 0 then redis.call('LPOP', data)
elseif index == count - 1 then redis.call('RPOP', data)
else
  redis.call('LSET', data, index, '')
  redis.call('LREM', data, 1, '')
end
local need = #v + 12
redis.call('HINCRBY', meta, 'used', -need)
redis.call('HINCRBY', meta, 'free', math.floor((need + 3) / 4))
if buf >= 0 then
  redis.call('HSET', ops, me, opid, me .. '#', v)
  return {1, v}
end
redis.call('HSET', ops, me, opid)
return {1}
)";

// ARGV[3] position, ARGV[4] how many data bytes to return.
const char kPeek[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {-3} end
if held() then return {-2} end
local index = index_of(redis.call('LLEN', data), tonumber(ARGV[3]))
if not index then return {0, 184, 2, 0} end
local v = redis.call('LINDEX', data, index)
if not v then return {0, 184, 2, 1} end
local want = tonumber(ARGV[4])
if want > 0 then return {1, #v, string.sub(v, 1, want)} end
return {1, #v}
)";

const char kCount[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {-3} end
if held() then return {-2} end
return {1, redis.call('LLEN', data)}
)";

const char kSnapshot[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {-3} end
if held() then return {-2} end
return {1, redis.call('LRANGE', data, 0, -1)}
)";

// ARGV[3] bytes used, ARGV[4] words, ARGV[5...] the elements.
const char kReplace[] = ZAX_ELEMENT_PRELUDE R"(
local total = redis.call('HGET', meta, 'total')
if not total then return {-3} end
if held() then return {-2} end
if cancelled() then return {-4} end
redis.call('DEL', data)
for i = 5, #ARGV, 1000 do
  redis.call('RPUSH', data, unpack(ARGV, i, math.min(i + 999, #ARGV)))
end
redis.call('HSET', meta, 'used', ARGV[3], 'free', tonumber(total) - tonumber(ARGV[4]))
redis.call('HSET', ops, me, opid)
return {1}
)";

// ARGV[3] the lease in ms.
const char kLock[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {-3} end
if held() then return {-2} end
redis.call('SET', lockk, me, 'PX', ARGV[3])
return {1}
)";

const char kUnlock[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('GET', lockk) == me then redis.call('DEL', lockk) end
return {1}
)";

// Whether the operation opid of this thread was done; if not, it never will be.
const char kSettle[] = ZAX_ELEMENT_PRELUDE R"(
if redis.call('EXISTS', meta) == 0 then return {0} end
if redis.call('HGET', ops, me) == opid then return {1, redis.call('HGET', ops, me .. '#')} end
redis.call('HSET', ops, me, opid .. '!')
return {0}
)";

// Attachments: ARGV[1] the process token, ARGV[2] the lease in ms.
#define ZAX_USER_PRELUDE                                                                   \
    "local meta, data, users, lockk, ops = KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5]\n"   \
    "local t = redis.call('TIME')\n"                                                       \
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)\n"              \
    "local function mine(s, p) return s and string.sub(s, 1, #p + 1) == p .. ':' end\n"    \
    "local function attached(p)\n"                                                         \
    "  local v = redis.call('HGET', users, p)\n"                                           \
    "  return v and tonumber(string.match(v, '^(%d+)')) or 0\n"                            \
    "end\n"                                                                                \
    "local function stamp(p, n)\n"                                                         \
    "  redis.call('HSET', users, p, string.format('%d %.0f', n, now + tonumber(ARGV[2])))\n" \
    "end\n"                                                                                \
    "local function forget(p)\n"                                                           \
    "  redis.call('HDEL', users, p)\n"                                                     \
    "  for _, k in ipairs(redis.call('HKEYS', ops)) do\n"                                  \
    "    if mine(k, p) then redis.call('HDEL', ops, k) end\n"                              \
    "  end\n"                                                                              \
    "  if mine(redis.call('GET', lockk), p) then redis.call('DEL', lockk) end\n"           \
    "end\n"                                                                                \
    "local function purge()\n"                                                             \
    "  local all = redis.call('HGETALL', users)\n"                                         \
    "  for i = 1, #all, 2 do\n"                                                            \
    "    local ends = tonumber(string.match(all[i + 1], ' (%d+)$'))\n"                      \
    "    if not ends or ends < now then forget(all[i]) end\n"                              \
    "  end\n"                                                                              \
    "end\n"

// ARGV[3] capacity, ARGV[4] tag, ARGV[5] words.
const char kAttach[] = ZAX_USER_PRELUDE R"(
purge()
if redis.call('HLEN', users) == 0 or redis.call('EXISTS', meta) == 0 then
  redis.call('DEL', meta, data, users, lockk, ops)
  redis.call('HSET', meta, 'cap', ARGV[3], 'tag', ARGV[4], 'used', 0, 'free', ARGV[5],
             'total', ARGV[5])
else
  local m = redis.call('HMGET', meta, 'cap', 'tag')
  if m[1] ~= ARGV[3] then return {0, 170, 2, 1} end
  if m[2] ~= ARGV[4] then return {0, 170, 2, 2} end
end
stamp(ARGV[1], attached(ARGV[1]) + 1)
return {1}
)";

const char kDetach[] = ZAX_USER_PRELUDE R"(
purge()
local n = attached(ARGV[1])
if n > 1 then stamp(ARGV[1], n - 1) elseif n == 1 then forget(ARGV[1]) end
if redis.call('HLEN', users) == 0 then redis.call('DEL', meta, data, users, lockk, ops) end
return {1}
)";

const char kRenew[] = ZAX_USER_PRELUDE R"(
local n = attached(ARGV[1])
if n > 0 then stamp(ARGV[1], n) end
if mine(redis.call('GET', lockk), ARGV[1]) then redis.call('PEXPIRE', lockk, ARGV[2]) end
return {1}
)";

// ---------------------------------------------------------------------------
// Handles

constexpr int kKeys = 5;

struct RemoteList {
    RegionHeader h;  // type kRemoteType, tag and capacity, for the list functions
    uint32_t key;
    uint32_t words;  // total words, as a region of the capacity has
    uint32_t lease_ms;
    const ZaxRedisApi *api;
    void *client;
    void *kept;  // the renewal of this handle's attachment
    std::string *keys;
    std::string *ptoken;  // the process token the attachment was made under
    // The thread that holds the list lock through this handle, and how often.
    std::atomic<uint32_t> owner;
    uint32_t depth;
};

RemoteList *record_of(ListHandle *h, Fn fn) {
    if (list_of(h, fn) == nullptr) return nullptr;
    return reinterpret_cast<RemoteList *>(h->region);
}

// A reply, freed with the handle's companion.
class Reply {
public:
    explicit Reply(const ZaxRedisApi *api) : api_(api) {}
    ~Reply() { reset(); }
    Reply(const Reply &) = delete;
    Reply &operator=(const Reply &) = delete;
    void reset(void *r = nullptr) {
        if (r_ != nullptr) api_->free_reply(r_);
        r_ = r;
    }
    void **out() {
        reset();
        return &r_;
    }
    void swap(Reply &other) { std::swap(r_, other.r_); }
    const void *at(size_t i) const { return r_ != nullptr ? api_->element(r_, i) : nullptr; }
    long long num(size_t i) const {
        const void *e = at(i);
        return e != nullptr && api_->type(e) == ZAXREDIS_INTEGER ? api_->integer(e) : 0;
    }
    std::string_view str(size_t i) const { return str_of(at(i)); }
    std::string_view str_of(const void *e) const {
        size_t n = 0;
        const char *p = e != nullptr ? api_->string(e, &n) : nullptr;
        return p != nullptr ? std::string_view(p, n) : std::string_view();
    }
    size_t size() const { return r_ != nullptr ? api_->count(r_) : 0; }
    const ZaxRedisApi *api() const { return api_; }
    // The refusal a script answered: function code, reason and detail follow
    // its 0.
    Status refusal() const { return lib_status(Fn(num(1)), Reason(num(2)), uint32_t(num(3))); }
    void record_refusal() const { record_failure(refusal()); }

private:
    const ZaxRedisApi *api_;
    void *r_ = nullptr;
};

int run_script(RemoteList *r, const char *script, const std::vector<std::string_view> &args,
               Reply &out) {
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (int i = 0; i < kKeys; ++i) {
        argv.push_back(r->keys[i].data());
        lens.push_back(r->keys[i].size());
    }
    for (std::string_view a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    return r->api->script(r->client, script, kKeys, int(argv.size()), argv.data(), lens.data(),
                          out.out());
}

// Runs an element script as the calling thread, waiting while another holds
// the list lock (timeout ms, -1 without limit). changing: the script changes
// the list, and is settled when its connection fails after sending it.
// 1 with out holding the script's answer; 0 refused (*why the refusal; out
// holds the answer); -1 failed (*why under fn); -2 timed out (*why the
// lock's error).
int32_t run_op(RemoteList *r, Fn fn, const char *script, bool changing,
               const std::vector<std::string_view> &extra, int32_t timeout, Reply &out,
               Status *why) {
    const std::string me = thread_token();
    const auto start = std::chrono::steady_clock::now();
    uint32_t pause = 1;
    bool retried = false;
    for (;;) {
        std::string opid = dec(static_cast<long long>(g_next_op.fetch_add(1)));
        std::vector<std::string_view> args{me, opid};
        args.insert(args.end(), extra.begin(), extra.end());
        int err = run_script(r, script, args, out);
        if (err != 0) {
            bool sent = (err & ZAXREDIS_SENT) != 0;
            err &= ~ZAXREDIS_SENT;
            if (sent && changing) {
                // What the server says now is what the caller must deal with.
                Reply settled(r->api);
                int again = run_script(r, kSettle, {me, opid}, settled);
                if (again != 0) err = again & ~ZAXREDIS_SENT;
                if (again == 0) {
                    if (settled.num(0) == 1) {  // it ran: its answer is the settle's
                        out.swap(settled);
                        return 1;
                    }
                    if (!retried) {  // it never will: once more
                        retried = true;
                        continue;
                    }
                }
            } else if (sent && !retried) {
                retried = true;
                continue;
            }
            *why = sys_status(fn, kServerReason, err);
            return -1;
        }
        switch (out.num(0)) {
        case 1:
            return 1;
        case 0:
            *why = out.refusal();
            return 0;
        case -3:
            *why = sys_status(fn, kServerReason, EIDRM);
            return -1;
        case -2: {
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
            if (timeout == 0 || (timeout > 0 && waited >= timeout)) {
                *why = sys_status(FN_XLockObj, R_XLockObj_WAIT_FAILED, ETIMEDOUT);
                return -2;
            }
            uint32_t nap = pause;
            if (timeout > 0) nap = std::min<uint32_t>(nap, uint32_t(timeout - waited));
            os::sleep_ms(nap);
            pause = std::min<uint32_t>(pause * 2, 20);
            continue;
        }
        default:  // cancelled by a settle that could not tell: try again
            continue;
        }
    }
}

// The same, recording the failure.
int32_t run_op(RemoteList *r, Fn fn, const char *script, bool changing,
               const std::vector<std::string_view> &extra, int32_t timeout, Reply &out) {
    Status why;
    int32_t got = run_op(r, fn, script, changing, extra, timeout, out, &why);
    if (why.failed()) record_failure(why);
    return got;
}

// The list lock, for X_lock_list and around a save or a load: 1, -2, -1.
int32_t take_lock(RemoteList *r, Fn fn, int32_t timeout) {
    uint32_t self = os::self_tid();
    if (r->owner.load(std::memory_order_relaxed) == self) {
        ++r->depth;
        return 1;
    }
    Reply out(r->api);
    std::string lease = dec(r->lease_ms);
    int32_t got = run_op(r, fn, kLock, false, {lease}, timeout, out);
    if (got != 1) return got == 0 ? -1 : got;
    r->owner.store(self, std::memory_order_relaxed);
    r->depth = 1;
    return 1;
}

// Gives the list lock back: 1, or 0 (not the holder; or *why).
int32_t give_lock(RemoteList *r, Fn fn, Status *why) {
    if (r->owner.load(std::memory_order_relaxed) != os::self_tid()) return 0;
    if (r->depth > 1) {
        --r->depth;
        return 1;
    }
    Reply out(r->api);
    if (run_op(r, fn, kUnlock, false, {}, -1, out, why) != 1) return 0;
    r->depth = 0;
    r->owner.store(0, std::memory_order_relaxed);
    return 1;
}

int32_t give_lock(RemoteList *r, Fn fn) {
    Status why;
    int32_t given = give_lock(r, fn, &why);
    if (why.failed()) record_failure(why);
    return given;
}

// Holds the list lock for a scope once taken.
class Held {
public:
    Held(RemoteList *r, Fn fn, int32_t timeout) : r_(r), fn_(fn), got_(take_lock(r, fn, timeout)) {}
    ~Held() {
        Status dropped;  // the outcome is the operation's, not the unlock's
        if (got_ == 1) (void)give_lock(r_, fn_, &dropped);
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    int32_t result() const { return got_; }

private:
    RemoteList *r_;
    Fn fn_;
    int32_t got_;
};

void free_handle(ListHandle *h) {
    auto *r = reinterpret_cast<RemoteList *>(h->region);
    delete[] r->keys;
    delete r->ptoken;
    r->~RemoteList();
    XFreeMemory(r);
    XFreeMemory(h);
}

}  // namespace

// ---------------------------------------------------------------------------

bool create(uint32_t capacity, uint32_t key, uint32_t tag, XHANDLE *out) {
    Settings s;
    int err = read_settings(&s);
    if (s.url.empty()) return false;
    bool bad = false;
    if (!key_selected(s.keys, key, &bad)) return false;
    *out = nullptr;
    if (bad) err = EINVAL;
    const ZaxRedisApi *a = nullptr;
    void *client = nullptr;
    if (err == 0) err = api(&a);
    if (err == 0) err = client_for(s, a, &client);
    if (err != 0) {
        sys_error(FN_XCreateGlobalList, kServerReason, err);
        return true;
    }
    void *hb = XAllocMemory(sizeof(ListHandle), tag);
    if (hb == X_FAILED_PTR) return true;
    void *rb = XAllocMemory(sizeof(RemoteList), tag);
    if (rb == X_FAILED_PTR) {
        XFreeMemory(hb);
        return true;
    }
    auto *h = new (hb) ListHandle{};
    auto *r = new (rb) RemoteList{};
    h->region = r;
    r->h.type = kRemoteType;
    r->h.tag = tag;
    r->h.capacity = capacity;
    r->key = key;
    r->words = uint32_t(GlobalGeometry(capacity).words);
    r->lease_ms = s.lease_ms;
    r->api = a;
    r->client = client;
    r->keys = new (std::nothrow) std::string[kKeys];
    r->ptoken = new (std::nothrow) std::string(process_token());
    if (r->keys == nullptr || r->ptoken == nullptr) {
        free_handle(h);
        sys_error(FN_XCreateGlobalList, kServerReason, ENOMEM);
        return true;
    }
    const char *names[kKeys] = {"meta", "data", "users", "lock", "ops"};
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "zaxxlib:{%08X}:", key);
    for (int i = 0; i < kKeys; ++i) r->keys[i] = std::string(prefix) + names[i];

    std::string lease = dec(s.lease_ms), cap = dec(capacity),
                tg = dec(tag), words = dec(r->words);
    Reply rep(a);
    err = run_script(r, kAttach, {*r->ptoken, lease, cap, tg, words}, rep);
    if (err == 0 && rep.num(0) == 0) {
        rep.record_refusal();
        free_handle(h);
        return true;
    }
    if (err == 0 && rep.num(0) != 1) err = EPROTO;
    if (err == 0) {
        // The companion renews the lease from now on.
        std::vector<const char *> argv;
        std::vector<size_t> lens;
        for (int i = 0; i < kKeys; ++i) argv.push_back(r->keys[i].c_str());
        argv.push_back(r->ptoken->c_str());
        argv.push_back(lease.c_str());
        for (const char *p : argv) lens.push_back(std::strlen(p));
        r->kept = a->keep(client, kRenew, kKeys, int(argv.size()), argv.data(), lens.data());
        if (r->kept == nullptr) {
            err = EAGAIN;
            run_script(r, kDetach, {*r->ptoken, lease}, rep);
        }
    }
    bool ok = err == 0;
    if (ok) {
        ok = handle_list(h);
        if (!ok) err = ENOMEM;
    }
    if (!ok) {
        if (r->kept != nullptr) a->unkeep(client, r->kept);
        free_handle(h);
        sys_error(FN_XCreateGlobalList, kServerReason, err & ~ZAXREDIS_SENT);
        return true;
    }
    *out = h;
    return true;
}

int32_t destroy(ListHandle *h) {
    handle_unlist(h);
    auto *r = reinterpret_cast<RemoteList *>(h->region);
    r->api->unkeep(r->client, r->kept);
    Reply rep(r->api);
    std::string lease = dec(r->lease_ms);
    int err = run_script(r, kDetach, {*r->ptoken, lease}, rep);
    if (err == 0 && rep.num(0) != 1) err = EPROTO;
    free_handle(h);
    // A detach that did not reach the server ends with the lease, which
    // nobody renews any more.
    if (err != 0) {
        sys_error(FN_XDestroyGlobalList, kServerReason, err & ~ZAXREDIS_SENT);
        return 0;
    }
    return 1;
}

int32_t add(ListHandle *h, const void *data, uint32_t size, int32_t position, int32_t timeout) {
    RemoteList *r = record_of(h, FN_XAddListT);
    if (r == nullptr) return -1;
    Reply out(r->api);
    std::string pos = dec(position);
    int32_t got = run_op(r, FN_XAddListT, kAdd, true,
                         {pos, std::string_view(static_cast<const char *>(data), size)}, timeout, out);
    return got == 1 ? 1 : got == -2 ? -2 : -1;
}

int32_t remove(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position,
               int32_t timeout) {
    RemoteList *r = record_of(h, FN_XRemoveListT);
    if (r == nullptr) return -1;
    Reply out(r->api);
    std::string pos = dec(position);
    std::string room = buffer != nullptr ? dec(buffer_size) : "-1";
    int32_t got = run_op(r, FN_XRemoveListT, kRemove, true, {pos, room}, timeout, out);
    // Done, or refused for a small buffer: what fits is the caller's.
    std::string_view v = out.str(got == 1 ? 1 : 4);
    if (buffer != nullptr && (got == 1 || got == 0) && !v.empty())
        std::memcpy(buffer, v.data(), std::min<size_t>(v.size(), buffer_size));
    return got == 1 ? 1 : got == -2 ? -2 : -1;
}

int32_t peek(ListHandle *h, void *buffer, uint32_t buffer_size, int32_t position, int32_t timeout) {
    RemoteList *r = record_of(h, FN_XPeekListT);
    if (r == nullptr) return -1;
    Reply out(r->api);
    std::string pos = dec(position);
    std::string want = buffer != nullptr ? dec(buffer_size) : "0";
    int32_t got = run_op(r, FN_XPeekListT, kPeek, false, {pos, want}, timeout, out);
    if (got != 1) return got == -2 ? -2 : -1;
    std::string_view v = out.str(2);
    if (buffer != nullptr && buffer_size != 0 && !v.empty())
        std::memcpy(buffer, v.data(), std::min<size_t>(v.size(), buffer_size));
    return int32_t(out.num(1));
}

int32_t count(ListHandle *h, int32_t timeout) {
    RemoteList *r = record_of(h, FN_XGetListNumT);
    if (r == nullptr) return -1;
    Reply out(r->api);
    int32_t got = run_op(r, FN_XGetListNumT, kCount, false, {}, timeout, out);
    if (got != 1) return got == -2 ? -2 : -1;
    return int32_t(out.num(1));
}

// A save writes the elements through a local list, so that the file is made
// as every list's is.
int32_t save(ListHandle *h, const char *name, int32_t timeout) {
    RemoteList *r = record_of(h, FN_XSaveListT);
    if (r == nullptr) return -1;
    Held held(r, FN_XSaveListT, timeout);
    if (held.result() != 1) return held.result();
    Reply out(r->api);
    if (run_op(r, FN_XSaveListT, kSnapshot, false, {}, -1, out) != 1) return -1;
    XHANDLE local = XCreateList(0, -1, r->h.tag);
    if (local == nullptr) return -1;
    const void *all = out.at(1);
    size_t n = all != nullptr ? r->api->count(all) : 0;
    bool ok = true;
    for (size_t i = 0; i < n && ok; ++i) {
        std::string_view v = out.str_of(r->api->element(all, i));
        ok = XAddList(local, v.data(), uint32_t(v.size()), -1) == 1;
    }
    if (ok) ok = XSaveListT(local, name, -1) == 1;
    (void)discard_local_list(static_cast<ListHandle *>(local));
    return ok ? 1 : -1;
}

// A load reads the file into a local list of the same capacity, which checks
// it as every load does; the elements then take the words a region would
// give them, and replace the list's in one step.
int32_t load(ListHandle *h, const char *name, int32_t timeout) {
    RemoteList *r = record_of(h, FN_XLoadListT);
    if (r == nullptr) return -1;
    Held held(r, FN_XLoadListT, timeout);
    if (held.result() != 1) return held.result();
    XHANDLE local = XCreateList(r->h.capacity, -1, r->h.tag);
    if (local == nullptr) return -1;
    bool ok = XLoadListT(local, name, -1) == 1;
    if (ok) {
        auto *lr = static_cast<LocalRegion *>(static_cast<ListHandle *>(local)->region);
        std::vector<std::string_view> extra{{}, {}};
        uint64_t used = 0, words = 0;
        for (LocalElem *e = lr->first; e != nullptr && ok; e = e->next) {
            used += e->size + kElementOverhead;
            words += element_words(e->size);
            if (words > r->words) {
                lib_error(FN_X_alloc_list, R_X_alloc_list_FULL, 0);
                ok = false;
            }
            extra.emplace_back(reinterpret_cast<const char *>(data_of<LocalKind>(e)), e->size);
        }
        std::string u = dec(used), w = dec(words);
        extra[0] = u;
        extra[1] = w;
        Reply out(r->api);
        if (ok) ok = run_op(r, FN_XLoadListT, kReplace, true, extra, -1, out) == 1;
    }
    (void)discard_local_list(static_cast<ListHandle *>(local));
    return ok ? 1 : -1;
}

int32_t lock(ListHandle *h) {
    RemoteList *r = record_of(h, FN_XLockObj);
    if (r == nullptr) return 0;
    return take_lock(r, FN_XLockObj, -1) == 1 ? 1 : 0;
}

int32_t unlock(ListHandle *h) {
    RemoteList *r = record_of(h, FN_XUnlockObj);
    if (r == nullptr) return 0;
    return give_lock(r, FN_XUnlockObj);
}

}  // namespace zax::remote

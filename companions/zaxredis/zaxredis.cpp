// libzaxredis.so: a small Redis client on hiredis for zaxxlib's global lists
// (see zaxredis.h). Every client and kept script lives on the heap and is
// never destroyed at exit, so that the keeping thread cannot meet a
// destroyed object while the process ends.
#include "zaxredis.h"

#include <hiredis/hiredis.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

struct Kept {
    const char *body;
    int numkeys;
    std::vector<std::string> args;
};

struct Client {
    std::string host, password;
    uint32_t port = 0, db = 0, connect_ms = 0, io_ms = 0, keep_ms = 0;
    std::mutex lock;                          // everything below
    pid_t pid = 0;                            // the process the connections belong to
    std::vector<redisContext *> idle;         // connections no call is using
    std::map<const char *, std::string> sha;  // script body -> its SHA1 on the server
    std::vector<Kept *> kept;
    std::condition_variable wake;
    bool keeping = false;  // the keeping thread runs
    bool closing = false;
};

constexpr size_t kMaxIdle = 8;

timeval to_timeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = time_t(ms / 1000);
    tv.tv_usec = suseconds_t(ms % 1000) * 1000;
    return tv;
}

// The errno value of a failed context; err_no is errno right after the call.
int context_errno(const redisContext *c, int err_no) {
    switch (c->err) {
    case REDIS_ERR_IO:
        if (err_no == EAGAIN || err_no == EWOULDBLOCK || err_no == EINPROGRESS) return ETIMEDOUT;
        return err_no != 0 ? err_no : EIO;
    case REDIS_ERR_EOF:
        return ECONNRESET;
    case REDIS_ERR_PROTOCOL:
        return EPROTO;
    case REDIS_ERR_OOM:
        return ENOMEM;
    default:  // name resolution and the like
        return std::strstr(c->errstr, "ame or service") || std::strstr(c->errstr, "not known")
                   ? EHOSTUNREACH
                   : (err_no != 0 ? err_no : EIO);
    }
}

// The errno value that an error reply stands for.
int reply_errno(const redisReply *r) {
    const char *s = r->str != nullptr ? r->str : "";
    auto starts = [s](const char *p) { return std::strncmp(s, p, std::strlen(p)) == 0; };
    if (starts("NOAUTH") || starts("WRONGPASS") || starts("NOPERM")) return EACCES;
    if (starts("LOADING")) return EAGAIN;
    if (starts("READONLY")) return EROFS;
    if (starts("OOM")) return ENOMEM;
    if (starts("BUSY")) return EBUSY;
    if (starts("MASTERDOWN")) return ENOTCONN;
    return EPROTO;
}

// Writing to a connection that the server closed raises SIGPIPE, which
// would end a program that does not expect it: the calling thread blocks it
// for the request and takes back any that the request raised.
class PipeGuard {
public:
    PipeGuard() {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &s, &old_);
        sigset_t p;
        sigpending(&p);
        pending_before_ = sigismember(&p, SIGPIPE) == 1;
    }
    ~PipeGuard() {
        if (!pending_before_) {
            sigset_t p;
            sigpending(&p);
            if (sigismember(&p, SIGPIPE) == 1) {
                sigset_t s;
                sigemptyset(&s);
                sigaddset(&s, SIGPIPE);
                timespec zero{0, 0};
                sigtimedwait(&s, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }

private:
    sigset_t old_;
    bool pending_before_ = false;
};

// One request on c: 0 with *reply, or an errno value (ZAXREDIS_SENT added
// when the whole request had been written). The context is unusable after
// a failure.
int request(redisContext *c, int argc, const char *const *argv, const size_t *lens, void **reply,
            bool *sent) {
    *sent = false;
    *reply = nullptr;
    if (redisAppendCommandArgv(c, argc, const_cast<const char **>(argv), lens) != REDIS_OK)
        return ENOMEM;
    int done = 0;
    while (!done) {
        errno = 0;
        if (redisBufferWrite(c, &done) != REDIS_OK) return context_errno(c, errno);
    }
    *sent = true;
    errno = 0;
    if (redisGetReply(c, reply) != REDIS_OK) return context_errno(c, errno);
    return 0;
}

// A new connection, authenticated and on its database.
int connect_to(Client *cl, redisContext **out) {
    errno = 0;
    redisContext *c = redisConnectWithTimeout(cl->host.c_str(), int(cl->port),
                                              to_timeval(cl->connect_ms));
    if (c == nullptr) return ENOMEM;
    int err = c->err != 0 ? context_errno(c, errno) : 0;
    if (err == 0 && redisSetTimeout(c, to_timeval(cl->connect_ms)) != REDIS_OK) err = EIO;
    if (err == 0) redisEnableKeepAlive(c);
    std::string db = std::to_string(cl->db);
    const char *auth[] = {"AUTH", cl->password.c_str()};
    const char *select[] = {"SELECT", db.c_str()};
    for (int step = 0; step < 2 && err == 0; ++step) {
        if (step == 0 && cl->password.empty()) continue;
        if (step == 1 && cl->db == 0) continue;
        const char *const *argv = step == 0 ? auth : select;
        size_t lens[] = {std::strlen(argv[0]), std::strlen(argv[1])};
        void *r = nullptr;
        bool sent;
        err = request(c, 2, argv, lens, &r, &sent);
        if (err == 0 && static_cast<redisReply *>(r)->type == REDIS_REPLY_ERROR)
            err = reply_errno(static_cast<redisReply *>(r));
        if (r != nullptr) freeReplyObject(r);
    }
    if (err == 0 && redisSetTimeout(c, to_timeval(cl->io_ms)) != REDIS_OK) err = EIO;
    if (err != 0) {
        redisFree(c);
        return err;
    }
    *out = c;
    return 0;
}

// A connection for one call: an idle one, or a new one.
int take(Client *cl, redisContext **out, bool *kept) {
    *kept = false;
    {
        std::lock_guard<std::mutex> hold(cl->lock);
        if (cl->pid != getpid()) {
            // A child of fork: the connections are the parent's. Closing our
            // copies of the descriptors leaves the parent's untouched.
            for (redisContext *c : cl->idle) redisFree(c);
            cl->idle.clear();
            cl->kept.clear();  // the keeping thread stayed in the parent
            cl->keeping = false;
            cl->pid = getpid();
        }
        if (!cl->idle.empty()) {
            *out = cl->idle.back();
            cl->idle.pop_back();
            *kept = true;
            return 0;
        }
    }
    return connect_to(cl, out);
}

void drop_idle(Client *cl) {
    std::lock_guard<std::mutex> hold(cl->lock);
    for (redisContext *c : cl->idle) redisFree(c);
    cl->idle.clear();
}

void give_back(Client *cl, redisContext *c) {
    std::lock_guard<std::mutex> hold(cl->lock);
    if (cl->pid == getpid() && cl->idle.size() < kMaxIdle && !cl->closing) {
        cl->idle.push_back(c);
        return;
    }
    redisFree(c);
}

// One request on a connection of the client; a failed connection is dropped.
// A kept connection that the server has closed fails on writing or on
// reading the reply: the request then goes once more on a new connection
// when none of it reached the server, or when it can safely run twice
// (repeatable).
int call(Client *cl, int argc, const char *const *argv, const size_t *lens, void **reply,
         bool repeatable = false) {
    PipeGuard guard;
    for (int attempt = 0;; ++attempt) {
        redisContext *c = nullptr;
        bool kept = false;
        int err = take(cl, &c, &kept);
        if (err != 0) return err;
        bool sent = false;
        err = request(c, argc, argv, lens, reply, &sent);
        if (err == 0) {
            give_back(cl, c);
            return 0;
        }
        redisFree(c);
        // The others kept are likely as dead (a server that restarted or
        // dropped its clients): new ones for the calls to come.
        drop_idle(cl);
        if (!kept || attempt > 0 || (sent && !repeatable)) return sent ? err | ZAXREDIS_SENT : err;
    }
}

std::string sha_of(Client *cl, const char *body) {
    std::lock_guard<std::mutex> hold(cl->lock);
    auto it = cl->sha.find(body);
    return it == cl->sha.end() ? std::string() : it->second;
}

// SCRIPT LOAD: the server's SHA1 of body.
int load_script(Client *cl, const char *body, std::string *sha) {
    const char *argv[] = {"SCRIPT", "LOAD", body};
    size_t lens[] = {6, 4, std::strlen(body)};
    void *r = nullptr;
    int err = call(cl, 3, argv, lens, &r, true);
    if (err != 0) return err & ~ZAXREDIS_SENT;  // loading a script changes no data
    auto *reply = static_cast<redisReply *>(r);
    if (reply->type == REDIS_REPLY_STRING) {
        sha->assign(reply->str, reply->len);
    } else {
        err = reply->type == REDIS_REPLY_ERROR ? reply_errno(reply) : EPROTO;
    }
    freeReplyObject(r);
    if (err == 0) {
        std::lock_guard<std::mutex> hold(cl->lock);
        cl->sha[body] = *sha;
    }
    return err;
}

int run_script(Client *cl, const char *body, int numkeys, int argc, const char *const *argv,
               const size_t *lens, void **reply) {
    *reply = nullptr;
    std::string sha = sha_of(cl, body);
    if (sha.empty()) {
        int err = load_script(cl, body, &sha);
        if (err != 0) return err;
    }
    std::string nk = std::to_string(numkeys);
    std::vector<const char *> a{"EVALSHA", nullptr, nk.c_str()};
    std::vector<size_t> l{7, 0, nk.size()};
    a.insert(a.end(), argv, argv + argc);
    l.insert(l.end(), lens, lens + argc);
    for (int attempt = 0;; ++attempt) {
        a[1] = sha.c_str();
        l[1] = sha.size();
        void *r = nullptr;
        int err = call(cl, int(a.size()), a.data(), l.data(), &r);
        if (err != 0) return err;
        auto *rep = static_cast<redisReply *>(r);
        if (rep->type != REDIS_REPLY_ERROR) {
            *reply = r;
            return 0;
        }
        // A server that restarted, or whose scripts were flushed, has lost
        // the script: load it again and repeat once. NOSCRIPT means that the
        // script did not run.
        bool lost = attempt == 0 && std::strncmp(rep->str, "NOSCRIPT", 8) == 0;
        err = reply_errno(rep);
        freeReplyObject(r);
        if (!lost) return err;
        err = load_script(cl, body, &sha);
        if (err != 0) return err;
    }
}

void *keeper_main(void *arg) {
    auto *cl = static_cast<Client *>(arg);
    std::unique_lock<std::mutex> hold(cl->lock);
    while (!cl->closing) {
        cl->wake.wait_for(hold, std::chrono::milliseconds(cl->keep_ms));
        if (cl->closing) break;
        // The scripts run without the lock; unkeep waits for the round to end
        // by taking the round's copy under the lock again.
        std::vector<Kept> round;
        for (Kept *k : cl->kept) round.push_back(*k);
        hold.unlock();
        for (const Kept &k : round) {
            std::vector<const char *> argv;
            std::vector<size_t> lens;
            for (const std::string &s : k.args) {
                argv.push_back(s.data());
                lens.push_back(s.size());
            }
            void *r = nullptr;
            if (run_script(cl, k.body, k.numkeys, int(argv.size()), argv.data(), lens.data(), &r) == 0)
                freeReplyObject(r);
        }
        hold.lock();
    }
    cl->keeping = false;
    return nullptr;
}

// Starts the keeping thread; it takes no signals meant for the program.
bool start_keeper(Client *cl) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &attr, keeper_main, cl);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc == 0;
}

// ---------------------------------------------------------------------------

void *zr_open(const ZaxRedisServer *s) {
    if (s == nullptr || s->host == nullptr) return nullptr;
    auto *cl = new (std::nothrow) Client;
    if (cl == nullptr) return nullptr;
    cl->host = s->host;
    cl->password = s->password != nullptr ? s->password : "";
    cl->port = s->port;
    cl->db = s->db;
    cl->connect_ms = s->connect_ms;
    cl->io_ms = s->io_ms;
    cl->keep_ms = s->keep_ms != 0 ? s->keep_ms : 1000;
    cl->pid = getpid();
    return cl;
}

void zr_close(void *client) {
    auto *cl = static_cast<Client *>(client);
    if (cl == nullptr) return;
    std::unique_lock<std::mutex> hold(cl->lock);
    cl->closing = true;
    cl->wake.notify_all();
    for (redisContext *c : cl->idle) redisFree(c);
    cl->idle.clear();
    for (Kept *k : cl->kept) delete k;
    cl->kept.clear();
    // A running keeper still uses the client: it stays allocated.
}

int zr_command(void *client, int argc, const char *const *argv, const size_t *lens, void **reply) {
    *reply = nullptr;
    if (client == nullptr || argc < 1) return EINVAL;
    return call(static_cast<Client *>(client), argc, argv, lens, reply);
}

int zr_script(void *client, const char *body, int numkeys, int argc, const char *const *argv,
              const size_t *lens, void **reply) {
    *reply = nullptr;
    if (client == nullptr || body == nullptr || numkeys < 0 || numkeys > argc) return EINVAL;
    return run_script(static_cast<Client *>(client), body, numkeys, argc, argv, lens, reply);
}

void *zr_keep(void *client, const char *body, int numkeys, int argc, const char *const *argv,
              const size_t *lens) {
    auto *cl = static_cast<Client *>(client);
    if (cl == nullptr || body == nullptr) return nullptr;
    auto *k = new (std::nothrow) Kept{body, numkeys, {}};
    if (k == nullptr) return nullptr;
    for (int i = 0; i < argc; ++i) k->args.emplace_back(argv[i], lens[i]);
    std::lock_guard<std::mutex> hold(cl->lock);
    if (!cl->keeping) {
        if (!start_keeper(cl)) {
            delete k;
            return nullptr;
        }
        cl->keeping = true;
    }
    cl->kept.push_back(k);
    return k;
}

void zr_unkeep(void *client, void *kept) {
    auto *cl = static_cast<Client *>(client);
    if (cl == nullptr || kept == nullptr) return;
    std::lock_guard<std::mutex> hold(cl->lock);
    for (size_t i = 0; i < cl->kept.size(); ++i) {
        if (cl->kept[i] == kept) {
            delete cl->kept[i];
            cl->kept.erase(cl->kept.begin() + long(i));
            return;
        }
    }
}

int zr_type(const void *reply) {
    switch (static_cast<const redisReply *>(reply)->type) {
    case REDIS_REPLY_INTEGER: return ZAXREDIS_INTEGER;
    case REDIS_REPLY_STRING: return ZAXREDIS_STRING;
    case REDIS_REPLY_ARRAY: return ZAXREDIS_ARRAY;
    case REDIS_REPLY_STATUS: return ZAXREDIS_STATUS;
    case REDIS_REPLY_ERROR: return ZAXREDIS_ERROR;
    default: return ZAXREDIS_NIL;
    }
}

long long zr_integer(const void *reply) { return static_cast<const redisReply *>(reply)->integer; }

const char *zr_string(const void *reply, size_t *len) {
    auto *r = static_cast<const redisReply *>(reply);
    bool text = r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS ||
                r->type == REDIS_REPLY_ERROR;
    if (len != nullptr) *len = text ? r->len : 0;
    return text ? r->str : nullptr;
}

size_t zr_count(const void *reply) {
    auto *r = static_cast<const redisReply *>(reply);
    return r->type == REDIS_REPLY_ARRAY ? r->elements : 0;
}

const void *zr_element(const void *reply, size_t i) {
    auto *r = static_cast<const redisReply *>(reply);
    return r->type == REDIS_REPLY_ARRAY && i < r->elements ? r->element[i] : nullptr;
}

void zr_free_reply(void *reply) {
    if (reply != nullptr) freeReplyObject(reply);
}

const ZaxRedisApi kApi = {sizeof(ZaxRedisApi), ZAXREDIS_VERSION, zr_open, zr_close, zr_command,
                          zr_script, zr_keep, zr_unkeep, zr_type, zr_integer, zr_string,
                          zr_count, zr_element, zr_free_reply};

}  // namespace

extern "C" __attribute__((visibility("default"))) const ZaxRedisApi *ZaxRedisEntry(void) {
    return &kApi;
}

/*
 * zaxredis.h - the interface of the Redis client companion libzaxredis.so.1.
 *
 * zaxxlib keeps the global lists of the keys that its settings name on a
 * Redis server. It loads this companion with dlopen the first time such a
 * list is used, so that a program whose lists all live in shared memory never
 * loads a Redis client. The companion's one entry, ZaxRedisEntry, returns a
 * table of plain functions.
 *
 * A client stands for one server. It connects on first use and keeps a few
 * connections for the calling threads; a connection that fails in any way is
 * dropped, and the next call makes a new one. Calls return 0 or an errno
 * value: ETIMEDOUT (no answer within the time-out), ECONNREFUSED and the other
 * errors of connect(2), ECONNRESET (the server closed the connection),
 * EPROTO (a reply that makes no sense), EACCES (authentication refused),
 * EAGAIN (the server is still loading its data), EROFS (a read-only replica),
 * ENOMEM (the server is out of memory), EBUSY (the server is running a long
 * script), EHOSTUNREACH (the host name cannot be resolved).
 */
#ifndef ZAXREDIS_H
#define ZAXREDIS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZAXREDIS_VERSION 1

/* A server and how to talk to it. The strings are copied. */
typedef struct ZaxRedisServer {
    const char *host;     /* name or address */
    uint32_t port;
    uint32_t db;          /* database number, selected on connect when not 0 */
    const char *password; /* AUTH on connect when not NULL */
    uint32_t connect_ms;  /* time-out of connecting (and of AUTH and SELECT) */
    uint32_t io_ms;       /* time-out of each request once connected */
    uint32_t keep_ms;     /* period of the scripts given to keep() */
} ZaxRedisServer;

/* Added to the errno value of a failed call when the request had been
   written whole before the failure: the server may have run it. */
#define ZAXREDIS_SENT 0x40000000

/* Reply types. */
enum { ZAXREDIS_NIL = 0, ZAXREDIS_INTEGER, ZAXREDIS_STRING, ZAXREDIS_ARRAY, ZAXREDIS_STATUS,
       ZAXREDIS_ERROR };

typedef struct ZaxRedisApi {
    uint32_t size;    /* sizeof(ZaxRedisApi) */
    uint32_t version; /* ZAXREDIS_VERSION */
    /* A client of the server; NULL when out of memory. Nothing connects yet. */
    void *(*open)(const ZaxRedisServer *server);
    /* Ends the client, its connections and its kept scripts. */
    void (*close)(void *client);
    /* Any command; an error reply is a reply of type ZAXREDIS_ERROR. */
    int (*command)(void *client, int argc, const char *const *argv, const size_t *lens,
                   void **reply);
    /* A Lua script with numkeys of the arguments as keys: EVALSHA, with the
       script loaded (SCRIPT LOAD) first and again when the server answers
       NOSCRIPT. An error reply becomes its errno value (EPROTO when it names
       none of the above). */
    int (*script)(void *client, const char *body, int numkeys, int argc,
                  const char *const *argv, const size_t *lens, void **reply);
    /* Runs the script with these arguments every keep_ms on a thread of the
       companion (its replies are dropped) until unkeep; NULL when out of
       memory or when the thread cannot be started. */
    void *(*keep)(void *client, const char *body, int numkeys, int argc,
                  const char *const *argv, const size_t *lens);
    void (*unkeep)(void *client, void *kept);
    /* Replies. */
    int (*type)(const void *reply);
    long long (*integer)(const void *reply);
    const char *(*string)(const void *reply, size_t *len); /* strings, status, errors */
    size_t (*count)(const void *reply);                     /* elements of an array */
    const void *(*element)(const void *reply, size_t i);
    void (*free_reply)(void *reply);
} ZaxRedisApi;

typedef const ZaxRedisApi *(*ZaxRedisEntryFn)(void);
const ZaxRedisApi *ZaxRedisEntry(void);

#ifdef __cplusplus
}
#endif

#endif /* ZAXREDIS_H */

/*
 * settings: a program keeps its settings in the registry and polls on a timer.
 *
 * On its first run the program finds no settings and stores its defaults
 * under "SOFTWARE\ZAX\Poller\Settings" of the user's hive; later runs find
 * them.  It then polls a few rounds: each round a timer posts an event after
 * the interval that the settings give.
 *
 * The registry lives in SQLite databases (user.db, machine.db) of
 * $ZAXXLIB_REGISTRY_DIR, or of the default directories when it is not set.
 */
#include <stdio.h>
#include <string.h>

#include "zaxxlib.h"

#define PRODUCT "Poller"
#define SUBKEY "Settings"

static int fail(const char *what) {
    XErrorInfo e;
    XGetLastError(&e);
    printf("%s failed: code 0x%X, detail %u, kind %u\n", what, e.code, e.detail, e.kind);
    return 1;
}

/* Store the defaults.  The Ex calls open the key (creating it), do one thing
 * and close it again. */
static int store_defaults(void) {
    if (!XWriteRegIntEx(HKEY_CURRENT_USER, PRODUCT, SUBKEY, "IntervalMs", 50) ||
        !XWriteRegIntEx(HKEY_CURRENT_USER, PRODUCT, SUBKEY, "Rounds", 3) ||
        !XWriteRegStrEx(HKEY_CURRENT_USER, PRODUCT, SUBKEY, "Greeting", "polling", 7))
        return fail("storing the defaults");
    return 0;
}

int main(void) {
    XHANDLE key, event, timer, spare;
    int32_t interval, rounds, i, type, name_len, data_len;
    char greeting[261], name[64], data[64];
    XErrorInfo e;

    /* A read of a key that does not exist fails with XOpenRegistry's reason 3. */
    if (!XReadRegIntEx(HKEY_CURRENT_USER, PRODUCT, SUBKEY, "IntervalMs", &interval)) {
        XGetLastError(&e);
        printf("no settings yet (XOpenRegistry reason %u); storing the defaults\n",
               e.code & 0xFFFF);
        if (store_defaults()) return 1;
    }

    /* Read them through one key handle opened for reading. */
    key = XOpenRegistry(HKEY_CURRENT_USER, PRODUCT, SUBKEY, X_REG_READ);
    if (key == X_FAILED_PTR) return fail("XOpenRegistry");
    memset(greeting, 0, sizeof greeting);
    if (!XReadRegInt(key, "IntervalMs", &interval) || !XReadRegInt(key, "Rounds", &rounds) ||
        XReadRegStr(key, "Greeting", greeting, sizeof greeting - 1) == 0)
        return fail("reading the settings");
    printf("settings of %s\\%s:\n", PRODUCT, SUBKEY);
    /* Values come in the order they were created; -1 ends the list. */
    for (i = 0;; ++i) {
        name_len = sizeof name;
        data_len = sizeof data;
        int32_t r = XListRegValue(key, i, &type, name, &name_len, data, &data_len);
        if (r == -1) break;
        if (r != 0) return fail("XListRegValue");
        if (type == X_REGTYPE_INT) {
            int32_t v;
            memcpy(&v, data, sizeof v);
            printf("  %.*s = %d\n", (int)name_len, name, v);
        } else {
            printf("  %.*s = \"%.*s\"\n", (int)name_len, name, (int)data_len, data);
        }
    }
    XCloseRegistry(key);

    /* The timer posts the event once, after the interval; a timer that is no
     * longer wanted is stopped with XKillTimer before it expires. */
    if (!XCreateEvent(&event, 0xFFFFFFFFu)) return fail("XCreateEvent");
    spare = XSetTimer(event, 60000);
    if (spare == NULL || !XKillTimer(spare)) return fail("the one-minute timer");
    printf("a one-minute timer was set and stopped again\n");
    for (i = 1; i <= rounds; ++i) {
        timer = XSetTimer(event, (uint32_t)interval);
        if (timer == NULL) return fail("XSetTimer");
        if (XWaitEvent(&event, 1, 10000) != 0) return fail("XWaitEvent");
        printf("round %d: %s (the %d ms timer posted its event)\n", i, greeting, interval);
    }
    /* Nothing else is pending: a wait that only tries finds nothing (-2). */
    printf("a last wait with time-out 0 gives %d\n", XWaitEvent(&event, 1, 0));
    XDestroyEvent(event);
    return 0;
}

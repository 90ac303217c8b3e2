/* The registry: keys below "SOFTWARE\ZAX\", values, enumeration, deletion. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

void demo_registry(void) {
    char dir[257], name[64], text[261], big[301];
    int32_t number = 0, len, i, type, namelen, datalen;
    XHANDLE key;

    printf("Registry\n");
    memset(dir, 0, sizeof dir);
    /* Keep the demonstration's databases out of the user's own registry. */
    if (XReadEnvStr("ZAXXLIB", "REGISTRY", "DIR", dir, 256) == 0)
        XWriteEnvStr("ZAXXLIB", "REGISTRY", "DIR", "/tmp/zaxdemo-registry", 21);
    memset(dir, 0, sizeof dir);
    XReadEnvStr("ZAXXLIB", "REGISTRY", "DIR", dir, 256);
    printf("  databases in %s (user.db, machine.db)\n", dir);

    XWriteRegIntEx(HKEY_CURRENT_USER, "ZaxDemo", "Server\\Limits", "MaxUsers", 250);
    XWriteRegStrEx(HKEY_CURRENT_USER, "ZaxDemo", "Server", "Host", "batch01", 64);
    XWriteRegStrEx(HKEY_CURRENT_USER, "ZaxDemo", "Server", "Queue", "NIGHTLY", 64);
    XReadRegIntEx(HKEY_CURRENT_USER, "ZaxDemo", "server\\limits", "maxusers", &number);
    printf("  MaxUsers read back without regard to case: %d\n", number);
    len = XReadRegStrEx(HKEY_CURRENT_USER, "ZaxDemo", "Server", "Host", NULL, 0);
    printf("  length of Host alone: %d\n", len);

    key = XOpenRegistry(HKEY_CURRENT_USER, "ZaxDemo", "Server", X_REG_READ);
    if (key != X_FAILED_PTR) {
        for (i = 0; (len = XListRegKey(key, i, name, (int32_t)sizeof name - 1)) >= 0; ++i) {
            name[len] = '\0';
            printf("  sub-key %d: %s\n", i, name);
        }
        for (i = 0;; ++i) {
            namelen = (int32_t)sizeof name - 1;
            datalen = (int32_t)sizeof text - 1;
            if (XListRegValue(key, i, &type, name, &namelen, text, &datalen) != 0) break;
            name[namelen] = '\0';
            text[datalen] = '\0';
            printf("  value %d: %s (type %d) = %s\n", i, name, type, text);
        }
        XCloseRegistry(key);
    }
    XOpenRegistry(HKEY_CURRENT_USER, "ZaxDemo", "Nowhere", X_REG_READ);
    show_error("open a missing key for reading");
    memset(big, 'x', 300);
    big[300] = '\0';
    XWriteRegStrEx(HKEY_CURRENT_USER, "ZaxDemo", NULL, "Long", big, 300);
    show_error("write a 300-byte string");
    printf("  delete the ZaxDemo tree: %d\n", XDeleteRegKey(HKEY_CURRENT_USER, "ZaxDemo", NULL));
    printf("  X_IsServer() = %d\n", X_IsServer());
}

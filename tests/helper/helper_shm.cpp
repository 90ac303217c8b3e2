// Helper commands for shared memory segments.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"
#include "zaxxlib.h"

// shmpeek KEY TEXT: attach to the segment of KEY (hex), print the text in its
// area and the header's magic, size and key, then write TEXT into the area.
ZAX_HELPER(shmpeek) {
    if (argc < 3) return 2;
    uint32_t key = uint32_t(std::strtoul(argv[1], nullptr, 16));
    XHANDLE h = nullptr;
    char *area = static_cast<char *>(XOpenShrMemory(&h, key));
    if (area == X_FAILED_PTR) {
        std::printf("error %X\n", XGetLastError(nullptr));
        return 1;
    }
    uint32_t total, k;
    std::memcpy(&total, area - 12, 4);
    std::memcpy(&k, area - 8, 4);
    std::printf("%s %.4s %u %X\n", area, area - 16, total, k);
    std::strcpy(area, argv[2]);
    return XCloseShrMemory(area, h) ? 0 : 3;
}

// A module without "osmain": thread creation must refuse it and unload it.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int32_t nomain_value = 7;
}

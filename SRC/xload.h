// xload internals shared with the thread functions and the tests.
#pragma once
#include <cstdint>

#include "zaxxlib.h"

namespace zax::os {
struct Module;
}

namespace zax {

// The loaded module or catalog that h names, or null when it is none.
os::Module *module_of(XHANDLE h);

// Result of checking a message template.
struct TemplateCheck {
    bool ok;            // every placeholder is well formed
    uint32_t estimate;  // the length estimate (when ok)
    uint32_t bad;       // 1-based position of the faulty placeholder (when not)
};

// Check a zero-terminated template: placeholders "%[-#][width].precision"
// with conversion d, s, c or x (either case), "%%" for a percent sign.
TemplateCheck check_template(const char *text);

// The longest message, and the longest template a catalog entry gives.
constexpr uint32_t kMaxMessage = 124;
constexpr uint32_t kMaxTemplate = 254;

}  // namespace zax

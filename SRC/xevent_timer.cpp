// xevent (timers): timers that post an event once their delay has passed,
// kept in the process's 16-slot timer table and run by the timer service.
#include "xevent_timer.h"

#include "xint.h"

namespace zax {
namespace {

constexpr int kTimerSlots = 16;
void *g_table[kTimerSlots];

}  // namespace

void timer_table_clear() {
    for (void *&slot : g_table) slot = nullptr;
}

}  // namespace zax

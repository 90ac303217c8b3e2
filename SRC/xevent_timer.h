// The timer table's part in load: cleared before any timer can be set.
#pragma once

namespace zax {

// Empty the 16 slots of the timer table (the load, before the lock exists),
// and have the child of a fork give the parent's timers back.
void timer_table_clear();

}  // namespace zax

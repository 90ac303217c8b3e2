// The timer table's part in load: cleared before any timer can be set.
#pragma once

namespace zax {

// Empty the 16 slots of the timer table (the load, before the lock exists).
void timer_table_clear();

}  // namespace zax

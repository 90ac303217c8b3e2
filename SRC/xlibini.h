// The job-support hooks that initialisation calls.
#pragma once

namespace zax {

// Look up (at the first initialisation) and release (at the last
// termination) what job processes need; 1 or 0, which the callers do not
// look at. Defined by the processes module (xtask).
int job_support_setup();
int job_support_release();

}  // namespace zax

// xtask internals for initialisation and termination: the job-support
// set-up and release.
#pragma once

namespace zax {

// Turn job support on (X_init_xlib): on kernels of major version 5 or later,
// when it is not on yet, check that process descriptors can be had. 1, or 0
// (support stays off, the cause in the error record) when the check fails.
int job_support_setup();
// Turn job support off (X_term_xlib): 1, or 0 when it was not on.
int job_support_release();
// Whether job support is on.
bool job_support_on();

}  // namespace zax

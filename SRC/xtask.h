// xtask internals: job support, which initialisation switches on and
// termination off (job_support_setup and job_support_release, declared in
// xlibini.h and defined by xtask).
#pragma once
#include "xlibini.h"

namespace zax {

// Whether job support is on: from a successful job_support_setup (kernels of
// major version 5 or later, where process descriptors can be had) until
// job_support_release. While it is off, the job functions are the plain
// process functions.
bool job_support_on();

}  // namespace zax

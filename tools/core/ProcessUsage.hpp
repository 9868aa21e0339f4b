#pragma once

namespace qara::nimb::tools {

// This process's resident memory in kB, from /proc; 0 where there is none.
long residentKilobytes();

// This process's CPU time so far, user and system, in seconds.
double cpuSeconds();

}  // namespace qara::nimb::tools

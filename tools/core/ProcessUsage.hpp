#pragma once

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace qara::nimb::tools {

// This process's resident memory in kB, from /proc; 0 where there is none.
inline long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key; status.ignore(1 << 16, '\n'))
    {
        if (key == "VmRSS:")
        {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
    }
    return 0;
}

// This process's CPU time so far, user and system, in seconds.
inline double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace qara::nimb::tools

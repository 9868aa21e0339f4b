#include "tools/core/ProcessUsage.hpp"

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace qara::nimb::tools {

long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;)
    {
        if (key == "VmRSS:")
        {
            long kilobytes = 0;
            status >> kilobytes;
            return kilobytes;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace qara::nimb::tools

// What this process holds in memory, read from /proc, for the benchmarks that report it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace lumenfold_bench {

/// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), in MiB; 0 when absent.
inline double status_mib(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(prefix, 0) == 0)
            return std::atof(line.c_str() + prefix.size()) / 1024.0;
    return 0;
}

/// Resident memory now, and the highest it has been.
inline double resident_mib() {
    return status_mib("VmRSS");
}
inline double peak_resident_mib() {
    return status_mib("VmHWM");
}

} // namespace lumenfold_bench

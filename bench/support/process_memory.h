#pragma once
// The process's memory as the kernel counts it, for benchmarks that report
// what a reader holds beside how long it takes.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace benchsupport {

// The process's resident memory now, in bytes.
inline double residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

// The most memory the process has held since the last reset, in bytes.
inline double peakBytes() {
    double kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atof(line + 6);
        }
        std::fclose(f);
    }
    return kb * 1024;
}

}  // namespace benchsupport

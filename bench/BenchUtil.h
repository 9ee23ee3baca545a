// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace bench {

// CPU time (user + system) of this process in microseconds.
inline double ProcessCpuUs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_sec * 1e6 +
           ru.ru_stime.tv_usec;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline void Figure(const std::string& name, double value) {
    std::printf("%s: %.2f\n", name.c_str(), value);
    std::fflush(stdout);
}

} // namespace bench

// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
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

// Opens a device for the baseline exchanges: raw, non-blocking, at `speed`
// with `cflags` added (stop bits, parity, flow control of the protocol).
inline int OpenRaw(const std::string& path, speed_t speed, tcflag_t cflags) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("open " + path);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD | cflags;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

inline void Figure(const std::string& name, double value) {
    std::printf("%s: %.2f\n", name.c_str(), value);
    std::fflush(stdout);
}

} // namespace bench

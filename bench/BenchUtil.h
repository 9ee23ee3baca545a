// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
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

// One read of SX address `adres` with nothing but termios calls: the
// baseline of the Selectrix read.
inline bool RawRead(int fd, uint8_t adres) {
    tcflush(fd, TCIFLUSH);
    const unsigned char req[2] = {adres, 0x20};
    if (write(fd, req, 2) != 2) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 40) <= 0) return false;
    unsigned char b;
    return read(fd, &b, 1) == 1;
}

inline void Figure(const std::string& name, double value) {
    std::printf("%s: %.2f\n", name.c_str(), value);
    std::fflush(stdout);
}

} // namespace bench

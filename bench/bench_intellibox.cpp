// The component against the simulated Intellibox over a pseudo-terminal:
// - ib_detect_ms: a detection (IBZoek) of a mixed-mode interface found at 2400 on the first
//   attempt, no rate change; ib_detect_19200_ms: one found at 19200 after 2400, 4800 and 9600
//   were tried, no rate change. ib_detect_ratio is the 19200 case's median over the sum of the
//   fixed pauses and the answer waits that run out on that path (ib_detect_19200_prescribed_ms):
//   break 210 + 1020 + 610, three silent attempts of 200 + 100, the mode probe's 200 (a mixed
//   interface sends fewer than four bytes) and the 300 before "RT10".
// - ib_detect_cpu_percent: the process's CPU share (component and simulator) during the
//   detections.
// - ib_command_ratio: one binary power-on transaction (ZetSysteemAan in mixed mode: purge,
//   "x" 0xA7, one reply byte) over the same exchange done with plain termios calls, medians,
//   interleaved; the simulator answers without line pacing so the software is what counts.
#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "command_station/intellibox/IntelliboxLink.h"
#include "platform/Tick.h"
#include "sim/IntelliboxSim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

namespace {

constexpr double kBreakMs = 210 + 1020 + 610;
constexpr double kPrescribed2400Ms = kBreakMs + 200 + 300;
constexpr double kPrescribed19200Ms = kBreakMs + 3 * (200 + 100) + 200 + 300;

// Power on with nothing but termios calls: drop stale input, send, wait for the reply byte.
bool RawPowerOn(int fd) {
    tcflush(fd, TCIFLUSH);
    const unsigned char req[2] = {'x', 0xA7};
    if (write(fd, req, 2) != 2) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) return false;
    unsigned char b;
    return read(fd, &b, 1) == 1 && b == 0;
}

double DetectMs(unsigned simBaud, TBaudRate doel, double& cpuUs, double& wallUs, int& misses) {
    sim::IntelliboxSim ib(sim::IBMode::Mixed, simBaud);
    TMivoCom com;
    com.SetDigitaalSysteem(dsIntellibox);
    com.SetPort(ib.DevicePath());
    com.OpenPort();
    com.IBDoelBaud = doel;
    double cpu0 = bench::ProcessCpuUs();
    uint64_t t0 = platform::MicroNow();
    auto& link = *com.LinkAs<command_station::intellibox::IntelliboxLink>();
    if (!link.IBZoek()) ++misses;
    uint64_t t1 = platform::MicroNow();
    cpuUs += bench::ProcessCpuUs() - cpu0;
    wallUs += static_cast<double>(t1 - t0);
    link.IBGevonden = false; // no rate to restore
    return static_cast<double>(t1 - t0) / 1000.0;
}

} // namespace

int main() {
    constexpr int kDetections = 3;
    std::vector<double> at2400, at19200;
    double cpuUs = 0, wallUs = 0;
    int misses = 0;
    for (int i = 0; i < kDetections; ++i) {
        at2400.push_back(DetectMs(2400, serial::br2400, cpuUs, wallUs, misses));
        at19200.push_back(DetectMs(19200, serial::br19200, cpuUs, wallUs, misses));
    }
    double m2400 = bench::Percentile(at2400, 50);
    double m19200 = bench::Percentile(at19200, 50);
    bench::Figure("ib_detect_ms", m2400);
    bench::Figure("ib_detect_prescribed_ms", kPrescribed2400Ms);
    bench::Figure("ib_detect_19200_ms", m19200);
    bench::Figure("ib_detect_19200_prescribed_ms", kPrescribed19200Ms);
    bench::Figure("ib_detect_ratio", m19200 / kPrescribed19200Ms);
    bench::Figure("ib_detect_cpu_percent", 100.0 * cpuUs / wallUs);
    bench::Figure("ib_detect_misses", misses);

    sim::IntelliboxSim ib(sim::IBMode::Mixed, 2400);
    ib.SetPacing(false);
    int raw = bench::OpenRaw(ib.DevicePath(), B2400, CSTOPB);
    TMivoCom com;
    com.SetDigitaalSysteem(dsIntellibox);
    com.SetPort(ib.DevicePath());
    com.OpenPort();
    auto& link = *com.LinkAs<command_station::intellibox::IntelliboxLink>();
    link.IBP50XMogelijk = true;
    link.IBXPrefix = true;

    constexpr int kRounds = 400;
    std::vector<double> mine, plain;
    int failed = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        uint64_t t0 = platform::MicroNow();
        bool ok = RawPowerOn(raw);
        uint64_t t1 = platform::MicroNow();
        com.SysteemAan = false;
        bool aan = com.ZetSysteemAan() && com.SysteemAan;
        uint64_t t2 = platform::MicroNow();
        if (!ok || !aan) ++failed;
        if (i < 20) continue; // warm-up
        plain.push_back(static_cast<double>(t1 - t0));
        mine.push_back(static_cast<double>(t2 - t1));
    }
    double mineMedian = bench::Percentile(mine, 50);
    double plainMedian = bench::Percentile(plain, 50);
    bench::Figure("ib_command_us", mineMedian);
    bench::Figure("ib_raw_command_us", plainMedian);
    bench::Figure("ib_command_ratio", plainMedian > 0 ? mineMedian / plainMedian : 0);
    bench::Figure("ib_command_misses", failed);
    close(raw);
    return 0;
}

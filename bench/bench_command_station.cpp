// The component against the simulated Selectrix unit over a pseudo-terminal:
// - selectrix_read_us: median GetBezetmelder round trip (purge, request, one
//   answer byte), and beside it, interleaved in the same run, the same round
//   trip done with plain termios calls (selectrix_raw_read_us);
//   selectrix_read_ratio is the component's median over the raw median.
// - probe_silent_ms / probe_silent_cpu_percent: GetVerbindingOke against a
//   silent interface, its duration and the process's CPU share meanwhile.
#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "sim/SelectrixSim.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

int main() {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0xA5);
    int raw = bench::OpenRaw(unit.DevicePath(), B9600, CSTOPB);

    TMivoCom com;
    com.SetDigitaalSysteem(dsSelectrix);
    com.SetPort(unit.DevicePath());
    com.OpenPort();

    constexpr int kRounds = 400;
    std::vector<double> mine, plain;
    std::string r;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        uint64_t t0 = platform::MicroNow();
        bool ok = bench::RawRead(raw, 12);
        uint64_t t1 = platform::MicroNow();
        com.GetBezetmelder(12, 0, false, false, r);
        uint64_t t2 = platform::MicroNow();
        if (!ok || r.size() != 1) ++misses;
        if (i < 20) continue; // warm-up
        plain.push_back(static_cast<double>(t1 - t0));
        mine.push_back(static_cast<double>(t2 - t1));
    }
    double mineMedian = bench::Percentile(mine, 50);
    double plainMedian = bench::Percentile(plain, 50);
    bench::Figure("selectrix_read_us", mineMedian);
    bench::Figure("selectrix_raw_read_us", plainMedian);
    bench::Figure("selectrix_read_ratio", plainMedian > 0 ? mineMedian / plainMedian : 0);
    bench::Figure("selectrix_read_misses", misses);
    close(raw);

    unit.SetSilent(true);
    constexpr int kProbes = 4;
    std::vector<double> took;
    double cpu0 = bench::ProcessCpuUs();
    uint64_t wall0 = platform::MicroNow();
    for (int i = 0; i < kProbes; ++i) {
        uint64_t t0 = platform::MicroNow();
        if (com.GetVerbindingOke()) ++misses;
        took.push_back(static_cast<double>(platform::MicroNow() - t0) / 1000.0);
    }
    double cpu = bench::ProcessCpuUs() - cpu0;
    double wall = static_cast<double>(platform::MicroNow() - wall0);
    bench::Figure("probe_silent_ms", bench::Percentile(took, 50));
    bench::Figure("probe_silent_cpu_percent", 100.0 * cpu / wall);
    return 0;
}

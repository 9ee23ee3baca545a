// What watching the line costs, on the Selectrix read of bench_command_station
// (GetBezetmelder against the simulated unit over a pseudo-terminal), three
// ways interleaved in one run:
// - with plain termios calls (trace_raw_read_us);
// - through the component with no observer on its port (trace_off_read_us);
// - with quorrin-cli's observer appending JSON lines to a file
//   (trace_on_read_us).
// trace_off_roundtrip_ratio is the second over the first, trace_on_roundtrip_ratio
// the third over the second (medians).
#include "BenchUtil.h"

#include "cli/Trace.h"
#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "sim/SelectrixSim.h"

#include <cstdlib>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

int main() {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0xA5);
    int raw = bench::OpenRaw(unit.DevicePath(), B9600, CSTOPB);

    char folder[] = "/tmp/quorrin-bench-trace-XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp");
    const std::string file = std::string(folder) + "/trace.jsonl";
    std::string why;
    const int fd = cli::OpenTraceFile(file, why);
    if (fd < 0) throw std::runtime_error("trace file: " + why);
    cli::LineTrace observer("selectrix", false, false, fd, file);

    TMivoCom com;
    com.SetDigitaalSysteem(dsSelectrix);
    com.SetPort(unit.DevicePath());
    com.OpenPort();

    constexpr int kRounds = 400;
    std::vector<double> plain, off, on;
    std::string r;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        const uint64_t t0 = platform::MicroNow();
        const bool ok = bench::RawRead(raw, 12);
        const uint64_t t1 = platform::MicroNow();
        com.GetBezetmelder(12, 0, false, false, r);
        const uint64_t t2 = platform::MicroNow();
        if (!ok || r.size() != 1) ++misses;
        com.SetTraceObserver(&observer);
        const uint64_t t3 = platform::MicroNow();
        com.GetBezetmelder(12, 0, false, false, r);
        const uint64_t t4 = platform::MicroNow();
        com.SetTraceObserver(nullptr);
        if (r.size() != 1) ++misses;
        if (i < 20) continue; // warm-up
        plain.push_back(static_cast<double>(t1 - t0));
        off.push_back(static_cast<double>(t2 - t1));
        on.push_back(static_cast<double>(t4 - t3));
    }
    com.ClosePort();
    observer.Finish();
    close(raw);
    unlink(file.c_str());
    rmdir(folder);

    const double plainMedian = bench::Percentile(plain, 50);
    const double offMedian = bench::Percentile(off, 50);
    const double onMedian = bench::Percentile(on, 50);
    bench::Figure("trace_raw_read_us", plainMedian);
    bench::Figure("trace_off_read_us", offMedian);
    bench::Figure("trace_on_read_us", onMedian);
    bench::Figure("trace_off_roundtrip_ratio", plainMedian > 0 ? offMedian / plainMedian : 0);
    bench::Figure("trace_on_roundtrip_ratio", offMedian > 0 ? onMedian / offMedian : 0);
    bench::Figure("trace_read_misses", misses);
    return 0;
}

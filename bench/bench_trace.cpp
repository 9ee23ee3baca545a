// What watching the line costs, on the Selectrix read of bench_command_station
// (GetBezetmelder against the simulated unit over a pseudo-terminal), all
// interleaved in one run:
// - trace_off_roundtrip_ratio: the read with the port's trace hook compiled in
//   and no observer (trace_hook_in_read_us) over the same read with the hook
//   compiled out (trace_hook_out_read_us). Both come from the same small
//   program built twice (trace_hook_in, trace_hook_out), each with a unit of
//   its own, both kept to one processor, asked for one read at a time in turn;
// - trace_off_raw_ratio: the component's read with no observer
//   (trace_off_read_us) over the same exchange in plain termios calls
//   (trace_raw_read_us), both in this process on one unit;
// - trace_on_roundtrip_ratio: the read with the front ends' observer
//   appending JSON lines to a file (trace_on_read_us) over trace_off_read_us.
// Every figure is a median.
#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "frontend/LineTrace.h"
#include "sim/SelectrixSim.h"
#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

namespace {

// Microseconds with their fraction: at a pseudo-terminal's ten or so
// microseconds a read, whole ones would be too coarse for a ratio.
double NowUs() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One of the two reader programs (with a unit of its own), on `processor`.
class Reader {
  public:
    Reader(const char* program, int processor) {
        testsupport::Launch launch{{program, std::to_string(processor)}};
        launch.in = testsupport::Stdio::Pipe;
        launch.out = testsupport::Stdio::Pipe;
        process_ = std::make_unique<testsupport::Process>(launch);
        if (!process_->Started()) throw std::runtime_error(std::string("start ") + program);
    }
    ~Reader() {
        process_->CloseIn(); // the program ends at the end of its input
        process_->WaitFor(2000);
    }
    // One read's microseconds, or -1 when it failed or the answer was missing.
    double Read() {
        if (!process_->Write("r")) return -1;
        std::string line;
        char c = 0;
        while (line.size() < 64) {
            pollfd p{process_->Out(), POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0 || read(process_->Out(), &c, 1) != 1) return -1;
            if (c == '\n') break;
            line += c;
        }
        double us = 0;
        int ok = 0;
        if (std::sscanf(line.c_str(), "%lf %d", &us, &ok) != 2 || !ok) return -1;
        return us;
    }

  private:
    std::unique_ptr<testsupport::Process> process_;
};

} // namespace

int main() {
    sim::SelectrixSim unit;
    unit.SetBus(12, 0xA5);
    int raw = bench::OpenRaw(unit.DevicePath(), B9600, CSTOPB);

    char folder[] = "/tmp/quorrin-bench-trace-XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp");
    const std::string file = std::string(folder) + "/trace.jsonl";
    std::string why;
    const int fd = frontend::OpenTraceFile(file, why);
    if (fd < 0) throw std::runtime_error("trace file: " + why);
    frontend::LineTrace observer("selectrix", false, false, fd, file);

    TMivoCom com;
    com.SetDigitaalSysteem(dsSelectrix);
    com.SetPort(unit.DevicePath());
    com.OpenPort();
    // Both on the processor this one runs on now.
    const int processor = std::max(sched_getcpu(), 0);
    Reader hookIn(QUORRIN_HOOK_IN, processor), hookOut(QUORRIN_HOOK_OUT, processor);

    constexpr int kRounds = 400;
    std::vector<double> plain, off, on, in, out;
    std::string r;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        const double t0 = NowUs();
        const bool ok = bench::RawRead(raw, 12);
        const double t1 = NowUs();
        if (!ok) ++misses;
        // Each of two goes first every other round: the read after another
        // one may find the line or the unit still busy with it.
        auto timed = [&](serial::TraceObserver* watching) {
            com.SetTraceObserver(watching);
            const double begin = NowUs();
            com.GetBezetmelder(12, 0, false, false, r);
            const double us = NowUs() - begin;
            com.SetTraceObserver(nullptr);
            if (r.size() != 1) ++misses;
            return us;
        };
        double offUs, onUs, inUs, outUs;
        if (i % 2 == 0) {
            offUs = timed(nullptr);
            onUs = timed(&observer);
            inUs = hookIn.Read();
            outUs = hookOut.Read();
        } else {
            onUs = timed(&observer);
            offUs = timed(nullptr);
            outUs = hookOut.Read();
            inUs = hookIn.Read();
        }
        if (inUs < 0 || outUs < 0) ++misses;
        if (i < 20) continue; // warm-up
        plain.push_back(t1 - t0);
        off.push_back(offUs);
        on.push_back(onUs);
        if (inUs >= 0 && outUs >= 0) {
            in.push_back(inUs);
            out.push_back(outUs);
        }
    }
    com.ClosePort();
    observer.Finish();
    close(raw);
    unlink(file.c_str());
    rmdir(folder);

    const double plainMedian = bench::Percentile(plain, 50);
    const double offMedian = bench::Percentile(off, 50);
    const double onMedian = bench::Percentile(on, 50);
    const double inMedian = bench::Percentile(in, 50);
    const double outMedian = bench::Percentile(out, 50);
    bench::Figure("trace_hook_in_read_us", inMedian);
    bench::Figure("trace_hook_out_read_us", outMedian);
    bench::Figure("trace_raw_read_us", plainMedian);
    bench::Figure("trace_off_read_us", offMedian);
    bench::Figure("trace_on_read_us", onMedian);
    bench::Figure("trace_off_roundtrip_ratio", outMedian > 0 ? inMedian / outMedian : 0);
    bench::Figure("trace_off_raw_ratio", plainMedian > 0 ? offMedian / plainMedian : 0);
    bench::Figure("trace_on_roundtrip_ratio", offMedian > 0 ? onMedian / offMedian : 0);
    bench::Figure("trace_read_misses", misses);
    return in.empty() ? 1 : 0;
}

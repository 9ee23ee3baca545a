// The DINAMO link against the simulated DINAMO over a pseudo-terminal:
// - dinamo_cycle_us: one empty-frame exchange as a host runs the link, a
//   loop of DinamoCyclus (takes the answer, sends the next frame) and
//   DinamoWacht, timed over blocks of exchanges; beside it, in alternating
//   blocks of the same run, the same exchanges done with plain termios calls
//   (dinamo_raw_exchange_us); dinamo_cycle_ratio is the link's median over
//   the raw median.
// - dinamo_silent_cpu_percent: the process's CPU share while that loop runs
//   against a DINAMO that never answers.
#include "BenchUtil.h"

#include "command_station/dinamo/DinamoLink.h"
#include "command_station/dinamo/DinamoMessages.h"
#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "sim/DinamoSim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

namespace {

// One empty frame out and its two-byte answer back, with nothing but termios.
bool RawExchange(int fd, int& toggle) {
    const unsigned char frame[2] = {static_cast<unsigned char>(toggle ? 0x40 : 0x00),
                                    static_cast<unsigned char>(toggle ? 0xC0 : 0x80)};
    toggle ^= 1;
    if (write(fd, frame, 2) != 2) return false;
    unsigned char answer[8];
    size_t got = 0;
    while (got < 2) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) return false;
        ssize_t n = read(fd, answer + got, sizeof answer - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// `count` exchanges in the host's loop, from an idle link back to an idle
// link. Each sample runs from one frame's send to the next one's: the wait
// for the answer, then the step that takes it and sends again.
void LinkBlock(TMivoCom& com, int count, std::vector<double>& samples, int& misses) {
    com.DinamoCyclus();
    for (int i = 0; i < count; ++i) {
        uint64_t t0 = platform::MicroNow();
        if (!com.DinamoWacht(200)) ++misses;
        com.DinamoCyclus();
        samples.push_back(static_cast<double>(platform::MicroNow() - t0));
    }
    auto& link = *com.LinkAs<command_station::dinamo::DinamoLink>();
    while (link.DinamoAntwoordTot != command_station::dinamo::kNothingDue) {
        if (!com.DinamoWacht(200)) ++misses;
        link.DinamoOntvang();
    }
}

void RawBlock(int fd, int count, int& toggle, std::vector<double>& samples, int& misses) {
    for (int i = 0; i < count; ++i) {
        uint64_t t0 = platform::MicroNow();
        if (!RawExchange(fd, toggle)) ++misses;
        samples.push_back(static_cast<double>(platform::MicroNow() - t0));
    }
}

} // namespace

int main() {
    sim::DinamoSim dinamo(1000);
    int raw = bench::OpenRaw(dinamo.DevicePath(), B9600, PARENB | PARODD);

    TMivoCom com;
    com.SetDigitaalSysteem(dsDinamo);
    com.SetPort(dinamo.DevicePath());
    com.OpenPort();

    constexpr int kBlocks = 60, kPerBlock = 10, kWarmUp = 3;
    std::vector<double> mine, plain, ignored;
    int misses = 0, toggle = 0;
    for (int i = 0; i < kBlocks + kWarmUp; ++i) {
        RawBlock(raw, kPerBlock, toggle, i < kWarmUp ? ignored : plain, misses);
        LinkBlock(com, kPerBlock, i < kWarmUp ? ignored : mine, misses);
    }
    double mineMedian = bench::Percentile(mine, 50);
    double plainMedian = bench::Percentile(plain, 50);
    bench::Figure("dinamo_cycle_us", mineMedian);
    bench::Figure("dinamo_raw_exchange_us", plainMedian);
    bench::Figure("dinamo_cycle_ratio", plainMedian > 0 ? mineMedian / plainMedian : 0);
    bench::Figure("dinamo_cycle_misses", misses);
    close(raw);

    dinamo.SetSilent(true);
    double cpu0 = bench::ProcessCpuUs();
    uint64_t wall0 = platform::MicroNow();
    platform::Deadline end = platform::Deadline::After(2000);
    while (!end.Reached()) {
        com.DinamoCyclus();
        com.DinamoWacht(std::min<uint32_t>(end.Remaining(), 100));
    }
    double cpu = bench::ProcessCpuUs() - cpu0;
    double wall = static_cast<double>(platform::MicroNow() - wall0);
    bench::Figure("dinamo_silent_cpu_percent", 100.0 * cpu / wall);
    return 0;
}

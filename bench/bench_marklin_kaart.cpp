// Märklin and the serial card against their simulators over a pseudo-terminal:
// - marklin_loc_gap_median_ms: ten locomotive commands to ten addresses given
//   at once after power on, sent as fast as the rules allow (held back, then
//   drained); the gaps between them as the interface received them (rule: at
//   least MarklinLocPauze, 60 ms).
// - marklin_byte_gap_median_ms: feedback reads back to back; the gaps between
//   their request bytes at the interface (rule: at least MarklinBytePauze,
//   10 ms).
// - marklin_pacing_cpu_percent: the process's CPU share over both runs, which
//   are nearly all pacing waits.
// - kaart_read_us / kaart_raw_read_us / kaart_read_ratio: GetBezetmelder on
//   the card beside the same exchange with plain termios calls, interleaved.
#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "command_station/marklin/MarklinLink.h"
#include "platform/Tick.h"
#include "sim/KaartSim.h"
#include "sim/MarklinSim.h"

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

namespace {

std::vector<double> GapsMs(const std::vector<sim::LineByte>& record) {
    std::vector<uint64_t> at;
    for (const sim::LineByte& b : record)
        if (at.empty() || at.back() != b.atUs) at.push_back(b.atUs);
    std::vector<double> gaps;
    for (size_t i = 1; i < at.size(); ++i)
        gaps.push_back(static_cast<double>(at[i] - at[i - 1]) / 1000.0);
    return gaps;
}

void Marklin() {
    sim::MarklinSim unit;
    TMivoCom com;
    com.SetDigitaalSysteem(dsMarklin);
    com.SetPort(unit.DevicePath());
    com.OpenPort();

    double cpu0 = bench::ProcessCpuUs();
    uint64_t wall0 = platform::MicroNow();
    std::vector<double> locGaps;
    std::string r;
    for (int round = 0; round < 3; ++round) {
        com.ZetSysteemAan();
        unit.ClearRecords();
        for (uint16_t adres = 1; adres <= 10; ++adres)
            com.StuurLoc(adres, 5, true, true, {}, 3, 0, false, r);
        while (com.LinkAs<command_station::marklin::MarklinLink>()->MarklinVerstuurAchtergehouden(true)) {
        }
        unit.WaitForReceived(20, 2000);
        std::vector<double> gaps = GapsMs(unit.ReceivedBytes());
        locGaps.insert(locGaps.end(), gaps.begin(), gaps.end());
        com.ZetSysteemUit();
    }

    unit.ClearRecords();
    constexpr int kReads = 100;
    for (int i = 0; i < kReads; ++i)
        com.GetBezetmelder(1, 0, false, false, r);
    unit.WaitForReceived(kReads, 2000);
    std::vector<double> byteGaps = GapsMs(unit.ReceivedBytes());
    double cpu = bench::ProcessCpuUs() - cpu0;
    double wall = static_cast<double>(platform::MicroNow() - wall0);

    bench::Figure("marklin_loc_gap_median_ms", bench::Percentile(locGaps, 50));
    bench::Figure("marklin_loc_gap_min_ms", bench::Percentile(locGaps, 0));
    bench::Figure("marklin_byte_gap_median_ms", bench::Percentile(byteGaps, 50));
    bench::Figure("marklin_byte_gap_min_ms", bench::Percentile(byteGaps, 0));
    bench::Figure("marklin_pacing_cpu_percent", 100.0 * cpu / wall);
}

// One feedback read of module `module` with nothing but termios calls.
bool RawRead(int fd, uint8_t module) {
    tcflush(fd, TCIFLUSH);
    const unsigned char req[2] = {static_cast<unsigned char>(0x80 + module), 0x50};
    if (write(fd, req, 2) != 2) return false;
    unsigned char answer[2];
    size_t got = 0;
    while (got < 2) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) return false;
        ssize_t n = read(fd, answer + got, 2 - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void Kaart() {
    sim::KaartSim card;
    card.SetModule(12, 0xA5);
    TMivoCom com;
    com.SetDigitaalSysteem(dsSerieleKaart);
    com.SetPort(card.DevicePath());
    com.OpenPort();
    if (!com.InitSysteem()) throw std::runtime_error("card not initialised");
    int raw = bench::OpenRaw(card.DevicePath(), B9600, 0);

    constexpr int kRounds = 400;
    std::vector<double> mine, plain;
    std::string r;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        uint64_t t0 = platform::MicroNow();
        bool ok = RawRead(raw, 12);
        uint64_t t1 = platform::MicroNow();
        com.GetBezetmelder(12, 0, false, false, r);
        uint64_t t2 = platform::MicroNow();
        if (!ok || r != std::string(1, '\xA5')) ++misses;
        if (i < 20) continue; // warm-up
        plain.push_back(static_cast<double>(t1 - t0));
        mine.push_back(static_cast<double>(t2 - t1));
    }
    close(raw);
    double mineMedian = bench::Percentile(mine, 50);
    double plainMedian = bench::Percentile(plain, 50);
    bench::Figure("kaart_read_us", mineMedian);
    bench::Figure("kaart_raw_read_us", plainMedian);
    bench::Figure("kaart_read_ratio", plainMedian > 0 ? mineMedian / plainMedian : 0);
    bench::Figure("kaart_read_misses", misses);
}

} // namespace

int main() {
    Marklin();
    Kaart();
    return 0;
}

// The Lenz link against the simulated interface over pseudo-terminals:
// - lenz_version_us: median GetLenzVersie from call to return; beside it,
//   interleaved, the same exchange with plain termios calls on a second,
//   identical simulator (lenz_raw_version_us); lenz_version_ratio is the
//   component's median over the raw one.
// - lenz_broadcast_latency_median_us: from the simulator writing a feedback
//   broadcast to the OnLenzDoeIets handler running on the main thread.
// - lenz_parse_mb_per_s / lenz_parse_ratio: the parser alone over a megabyte
//   of valid traffic, log off, beside a bare loop that only splits the same
//   bytes into messages and checks each XOR (parser time over bare time).
// - lenz_idle_cpu_percent: a port open on the Lenz profile, no traffic, the
//   main thread waiting for work as a host's message loop does, over 10 s.
#include "BenchUtil.h"

#include "command_station/lenz/LenzLink.h"
#include "command_station/lenz/LenzMessages.h"
#include "command_station/MivoComm.h"
#include "platform/Host.h"
#include "tests/support/RecordingHost.h"
#include "platform/Tick.h"
#include "sim/LenzSim.h"

#include <fcntl.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace command_station;

namespace {

// The version request and its whole answer (0x63 0x21 V 0x00 X) with
// nothing but termios calls.
bool RawVersion(int fd) {
    const unsigned char req[3] = {0x21, 0x21, 0x00};
    if (write(fd, req, 3) != 3) return false;
    unsigned char buf[8];
    size_t got = 0;
    while (got < 5) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return false;
        ssize_t n = read(fd, buf + got, sizeof buf - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return buf[0] == 0x63 && buf[2] == 0x36;
}

void Pump(const std::function<bool()>& done, uint32_t ms) {
    platform::Deadline end = platform::Deadline::After(ms);
    while (!done() && !end.Reached()) {
        platform::Host().ProcessMessages();
        if (done()) break;
        platform::MainQueue().WaitForWork(std::min<uint32_t>(end.Remaining(), 5));
    }
}

std::string Frame(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s + static_cast<char>(command_station::lenz::Xor(s));
}

// A megabyte of what an interface sends: feedback broadcasts, locomotive
// states and "command ok" reports.
std::string Traffic() {
    std::mt19937 rng(7);
    std::string t;
    while (t.size() < (1u << 20)) {
        int a = static_cast<int>(rng() & 0x7F), f = static_cast<int>(rng() & 0x1F);
        switch (rng() % 5) {
        case 0:
            t += Frame({0x42, a, 0x40 | f});
            break;
        case 1:
            t += Frame({0x44, a, 0x40 | f, a + 1, 0x50 | (f & 0x0F)});
            break;
        case 2:
            t += Frame({0x84, a, 0x40 | f, 0x01, 0x02});
            break;
        case 3:
            t += Frame({0xE4, 0x02, 0x80 | f, 0x10, 0x00});
            break;
        default:
            t += Frame({0x01, 0x04});
            break;
        }
    }
    return t;
}

size_t Bare(const std::string& t) {
    size_t good = 0;
    for (size_t i = 0; i < t.size();) {
        size_t len = command_station::lenz::MessageLength(static_cast<uint8_t>(t[i]));
        if (i + len > t.size()) break;
        good += command_station::lenz::LenzXorOke(t.substr(i, len));
        i += len;
    }
    return good;
}

} // namespace

int main() {
    platform::SetMainThread();
    testsupport::RecordingHost host;

    // --- version exchange
    sim::LenzSim unit(0x36), rawUnit(0x36);
    int raw = bench::OpenRaw(rawUnit.DevicePath(), B9600, CRTSCTS);
    TMivoCom com;
    com.SetDigitaalSysteem(dsLenz);
    com.SetPort(unit.DevicePath());
    com.OpenPort();
    constexpr int kRounds = 300;
    std::vector<double> mine, plain;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        uint64_t t0 = platform::MicroNow();
        bool ok = RawVersion(raw);
        uint64_t t1 = platform::MicroNow();
        double v = com.GetLenzVersie();
        uint64_t t2 = platform::MicroNow();
        if (!ok || v != 3.6) ++misses;
        if (i < 20) continue;
        plain.push_back(static_cast<double>(t1 - t0));
        mine.push_back(static_cast<double>(t2 - t1));
    }
    double m = bench::Percentile(mine, 50), p = bench::Percentile(plain, 50);
    bench::Figure("lenz_version_us", m);
    bench::Figure("lenz_raw_version_us", p);
    bench::Figure("lenz_version_ratio", p > 0 ? m / p : 0);
    close(raw);

    // --- broadcast latency
    uint64_t handledAt = 0;
    com.OnLenzDoeIets = [&](TLenzAktie a, uint16_t, uint16_t, uint8_t, double) {
        if (a == laBezetmelder) handledAt = platform::MicroNow();
    };
    std::vector<double> latency;
    for (int i = 0; i < 220; ++i) {
        handledAt = 0;
        unit.ClearRecords();
        unit.SetInputs(3, static_cast<uint8_t>(i & 1 ? 0x01 : 0x02));
        Pump([&] { return handledAt != 0; }, 1000);
        std::vector<sim::LineByte> sent = unit.SentBytes();
        if (handledAt == 0 || sent.empty()) {
            ++misses;
            continue;
        }
        if (i >= 20) latency.push_back(static_cast<double>(handledAt - sent.front().atUs));
    }
    bench::Figure("lenz_broadcast_latency_median_us", bench::Percentile(latency, 50));

    // --- idle
    double cpu0 = bench::ProcessCpuUs();
    uint64_t w0 = platform::MicroNow();
    platform::Deadline idle = platform::Deadline::After(10000);
    while (!idle.Reached()) {
        platform::Host().ProcessMessages();
        platform::MainQueue().WaitForWork(idle.Remaining());
    }
    double cpu = bench::ProcessCpuUs() - cpu0;
    bench::Figure("lenz_idle_cpu_percent",
                  100.0 * cpu / static_cast<double>(platform::MicroNow() - w0));
    com.ClosePort();

    // --- parser throughput
    std::string traffic = Traffic();
    TMivoCom parser;
    parser.SetDigitaalSysteem(dsLenz);
    auto& parserLink = *parser.LinkAs<command_station::lenz::LenzLink>();
    size_t events = 0;
    parser.OnLenzDoeIets = [&](TLenzAktie, uint16_t, uint16_t, uint8_t, double) { ++events; };
    std::vector<double> parseUs, bareUs;
    size_t sink = 0;
    for (int round = 0; round < 7; ++round) {
        uint64_t t0 = platform::MicroNow();
        for (size_t i = 0; i < traffic.size(); i += 64)
            parserLink.LenzOntvangBytes(traffic.substr(i, 64));
        uint64_t t1 = platform::MicroNow();
        sink += Bare(traffic);
        uint64_t t2 = platform::MicroNow();
        parseUs.push_back(static_cast<double>(t1 - t0));
        bareUs.push_back(static_cast<double>(t2 - t1));
    }
    double pu = bench::Percentile(parseUs, 50), bu = bench::Percentile(bareUs, 50);
    bench::Figure("lenz_parse_mb_per_s", static_cast<double>(traffic.size()) / pu);
    bench::Figure("lenz_parse_ratio", bu > 0 ? pu / bu : 0);
    if (misses || sink == 0 || events == 0) std::printf("# misses: %d\n", misses);
    return 0;
}

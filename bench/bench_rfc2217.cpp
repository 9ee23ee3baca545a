// The component over a network port (ser2net on the loopback address,
// bridging a simulated Selectrix unit's pseudo-terminal), interleaved in one
// run with the same read on a local pseudo-terminal and with the same bytes
// through a plain TCP connection to a ser2net without the com-port option:
// - rfc2217_read_us: median GetBezetmelder round trip over the network port;
//   rfc2217_read_ratio: over the same read on a local pseudo-terminal
//   (rfc2217_local_read_us);
// - rfc2217_vs_plain_tcp_ratio: over the plain TCP round trip
//   (rfc2217_plain_tcp_read_us), the floor of the network hop and the proxy;
// - rfc2217_idle_cpu_percent: the process's CPU share while a network port
//   is open (event thread running) and the line is silent.
#include "BenchUtil.h"

#include "command_station/MivoComm.h"
#include "platform/Tick.h"
#include "sim/SelectrixSim.h"
#include "tests/support/Ser2Net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

using namespace command_station;

namespace {

int ConnectPlain(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("plain connect");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// One read of SX address `adres` as bare bytes over TCP.
bool PlainRead(int fd, uint8_t adres) {
    const unsigned char req[2] = {adres, 0x20};
    if (::send(fd, req, 2, MSG_NOSIGNAL) != 2) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 40) <= 0) return false;
    unsigned char b;
    return ::recv(fd, &b, 1, 0) == 1;
}

} // namespace

int main() {
    if (!testsupport::Ser2Net::Installed()) {
        std::puts("# ser2net is not installed: no figures");
        return 1;
    }
    sim::SelectrixSim localUnit, netUnit, plainUnit;
    for (auto* u : {&localUnit, &netUnit, &plainUnit})
        u->SetBus(12, 0xA5);
    testsupport::Ser2Net netServer(netUnit.DevicePath(), true);
    testsupport::Ser2Net plainServer(plainUnit.DevicePath(), false);

    TMivoCom local, net;
    local.SetDigitaalSysteem(dsSelectrix);
    local.SetPort(localUnit.DevicePath());
    local.OpenPort();
    net.SetDigitaalSysteem(dsSelectrix);
    net.SetPort(netServer.Url());
    net.OpenPort();
    int plain = ConnectPlain(plainServer.Port());
    platform::Sleep(100); // ser2net opens the device once the client is there

    constexpr int kRounds = 400;
    std::vector<double> viaNet, viaLocal, viaPlain;
    std::string r;
    int misses = 0;
    for (int i = 0; i < kRounds + 20; ++i) {
        uint64_t t0 = platform::MicroNow();
        local.GetBezetmelder(12, 0, false, false, r);
        uint64_t t1 = platform::MicroNow();
        if (r.size() != 1) ++misses;
        net.GetBezetmelder(12, 0, false, false, r);
        uint64_t t2 = platform::MicroNow();
        if (r.size() != 1) ++misses;
        bool ok = PlainRead(plain, 12);
        uint64_t t3 = platform::MicroNow();
        if (!ok) ++misses;
        if (i < 20) continue; // warm-up
        viaLocal.push_back(static_cast<double>(t1 - t0));
        viaNet.push_back(static_cast<double>(t2 - t1));
        viaPlain.push_back(static_cast<double>(t3 - t2));
    }
    const double netMedian = bench::Percentile(viaNet, 50);
    const double localMedian = bench::Percentile(viaLocal, 50);
    const double plainMedian = bench::Percentile(viaPlain, 50);
    bench::Figure("rfc2217_read_us", netMedian);
    bench::Figure("rfc2217_local_read_us", localMedian);
    bench::Figure("rfc2217_plain_tcp_read_us", plainMedian);
    bench::Figure("rfc2217_read_ratio", localMedian > 0 ? netMedian / localMedian : 0);
    bench::Figure("rfc2217_vs_plain_tcp_ratio", plainMedian > 0 ? netMedian / plainMedian : 0);
    bench::Figure("rfc2217_read_misses", misses);
    ::close(plain);
    local.ClosePort();

    // Silent and open: the event thread blocks on the socket.
    const uint64_t w0 = platform::MicroNow();
    const double c0 = bench::ProcessCpuUs();
    platform::Sleep(3000);
    const double c1 = bench::ProcessCpuUs();
    const uint64_t w1 = platform::MicroNow();
    bench::Figure("rfc2217_idle_cpu_percent", 100.0 * (c1 - c0) / static_cast<double>(w1 - w0));
    net.ClosePort();
    return 0;
}

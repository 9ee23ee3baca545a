// One request's round trip through the port (purge input, write 2 bytes,
// read 1 byte with the time-outs 20/25/15) against a peer on a
// pseudo-terminal, beside the same round trip written directly on termios and
// poll(); and the CPU a read uses while it waits on a silent line.
//
//   serial_roundtrip_us      median through TComPort
//   raw_roundtrip_us         median of the direct version, interleaved
//   serial_roundtrip_ratio   the two medians' ratio (target: at most 1.2)
//   silent_read_cpu_percent  CPU of one core over 100 one-byte reads that time out
#include "BenchUtil.h"
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "serial/posix/PosixComDevice.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double NowUs() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

// The peer: answers one byte for every two it receives, until stopped.
class AnsweringPeer {
  public:
    AnsweringPeer() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        stop_ = eventfd(0, EFD_CLOEXEC);
        thread_ = std::thread([this] { Run(); });
    }
    ~AnsweringPeer() {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(stop_, &one, sizeof one);
        thread_.join();
        close(stop_);
        close(slave_);
        close(master_);
    }
    const std::string& Path() const { return path_; }
    void SetSilent(bool silent) { silent_ = silent; }

  private:
    void Run() {
        size_t received = 0;
        for (;;) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            if (silent_) continue;
            received += static_cast<size_t>(n);
            std::string answer(received / 2, 'A');
            received %= 2;
            if (!answer.empty()) [[maybe_unused]]
                ssize_t w = write(master_, answer.data(), answer.size());
        }
    }

    int master_ = -1, slave_ = -1, stop_ = -1;
    std::string path_;
    std::atomic<bool> silent_{false};
    std::thread thread_;
};

double SerialRoundTrip(serial::TComPort& port) {
    double t0 = NowUs();
    port.PurgeBuffers(true, false);
    port.WriteText("\x0C\x20");
    std::string answer;
    int n = port.ReadText(answer, 1);
    double t1 = NowUs();
    if (n != 1) throw std::runtime_error("no answer through the port");
    return t1 - t0;
}

// The same steps written directly: flush input, write and drain, wait for the
// answer in poll() with the same 40 ms limit, read it.
double RawRoundTrip(int fd) {
    double t0 = NowUs();
    tcflush(fd, TCIFLUSH);
    const char request[2] = {0x0C, 0x20};
    if (write(fd, request, 2) != 2) throw std::runtime_error("raw write failed");
    tcdrain(fd);
    char answer = 0;
    ssize_t got = 0;
    uint32_t start = platform::GetTickCount();
    while (got <= 0) {
        uint32_t elapsed = platform::ElapsedSince(start);
        if (elapsed >= 40) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(40 - elapsed)) <= 0) continue;
        got = read(fd, &answer, 1);
    }
    double t1 = NowUs();
    if (got != 1) throw std::runtime_error("no answer on the raw line");
    return t1 - t0;
}

void Selectrix(serial::TComPort& port) {
    port.BeginSettingsUpdate();
    port.SetEvents({});
    port.SetBaudRate(serial::br9600);
    port.SetStopBits(serial::sbTwoStopBits);
    port.Timeouts().SetReadInterval(20);
    port.Timeouts().SetReadTotalMultiplier(25);
    port.Timeouts().SetReadTotalConstant(15);
    port.EndSettingsUpdate();
}

} // namespace

int main() {
    // Both versions run on the same line and peer, so they differ only by
    // the code between the caller and the system calls.
    AnsweringPeer portPeer;
    serial::TComPort port;
    port.SetEvents({});
    port.SetPort(portPeer.Path());
    port.OpenPort();
    Selectrix(port);
    auto* device = dynamic_cast<serial::PosixComDevice*>(port.Device());
    if (!device) throw std::runtime_error("not a termios device");
    int raw = device->Fd();

    const int kWarmUp = 50, kRounds = 2000;
    for (int i = 0; i < kWarmUp; ++i) {
        SerialRoundTrip(port);
        RawRoundTrip(raw);
    }
    std::vector<double> viaPort, direct;
    viaPort.reserve(kRounds);
    direct.reserve(kRounds);
    for (int i = 0; i < kRounds; ++i) {
        // Alternate which goes first so neither always follows the other.
        if (i % 2 == 0) {
            viaPort.push_back(SerialRoundTrip(port));
            direct.push_back(RawRoundTrip(raw));
        } else {
            direct.push_back(RawRoundTrip(raw));
            viaPort.push_back(SerialRoundTrip(port));
        }
    }
    double serialUs = bench::Percentile(viaPort, 50);
    double rawUs = bench::Percentile(direct, 50);
    bench::Figure("serial_roundtrip_us", serialUs);
    bench::Figure("raw_roundtrip_us", rawUs);
    bench::Figure("serial_roundtrip_ratio", rawUs > 0 ? serialUs / rawUs : 0);

    // A silent line: every read waits its 40 ms and gives nothing.
    portPeer.SetSilent(true);
    const int kSilentReads = 100;
    double cpu0 = bench::ProcessCpuUs();
    double wall0 = NowUs();
    for (int i = 0; i < kSilentReads; ++i) {
        std::string answer;
        if (port.ReadText(answer, 1) != 0) throw std::runtime_error("a silent line answered");
    }
    double cpuUs = bench::ProcessCpuUs() - cpu0;
    double wallUs = NowUs() - wall0;
    bench::Figure("silent_read_cpu_percent", wallUs > 0 ? 100.0 * cpuUs / wallUs : 0);

    port.ClosePort();
    return 0;
}

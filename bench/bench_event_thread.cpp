// The event thread: CPU use of an idle open port, and the latency from a byte
// written by the peer to OnRxChar running on the owner's thread
// (smThreadSync), over a pseudo-terminal.
#include "BenchUtil.h"

#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/CPort.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Pty {
    int master = -1;
    std::string path;
    Pty() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
        path = name;
    }
    ~Pty() { close(master); }
};

// The owner's message loop for `ms` milliseconds, or until `stop`.
void OwnerLoop(uint32_t ms, const std::atomic<bool>& stop) {
    auto deadline = platform::Deadline::After(ms);
    auto& queue = platform::MainQueue();
    while (!stop.load() && !deadline.Reached()) {
        queue.Serve();
        queue.WaitForWork(std::min<uint32_t>(1000, deadline.Remaining()));
    }
}

double IdleCpuPercent(uint32_t ms) {
    Pty pty;
    serial::TComPort port;
    port.SetPort(pty.path);
    port.SetEvents(serial::AllComEvents);
    port.OnRxChar = [](serial::TCustomComPort*, int) {};
    port.OpenPort();
    std::atomic<bool> never{false};
    OwnerLoop(200, never); // let the open settle
    double cpu0 = bench::ProcessCpuUs();
    uint64_t t0 = platform::MicroNow();
    OwnerLoop(ms, never);
    double cpu = bench::ProcessCpuUs() - cpu0;
    double wall = static_cast<double>(platform::MicroNow() - t0);
    port.ClosePort();
    return 100.0 * cpu / wall;
}

std::vector<double> RxCharLatencies(int rounds) {
    Pty pty;
    serial::TComPort port;
    port.SetPort(pty.path);
    port.SetEvents(serial::TComEvents{serial::evRxChar});

    std::mutex mutex;
    std::condition_variable cv;
    uint64_t sentAt = 0;
    bool answered = true;
    std::vector<double> latencies;
    std::atomic<bool> done{false};

    port.OnRxChar = [&](serial::TCustomComPort* p, int count) {
        uint64_t now = platform::MicroNow();
        std::string s;
        p->ReadText(s, count);
        std::lock_guard lock(mutex);
        if (!answered) {
            latencies.push_back(static_cast<double>(now - sentAt));
            answered = true;
            cv.notify_all();
        }
    };
    port.OpenPort();

    std::thread peer([&] {
        for (int i = 0; i < rounds; ++i) {
            std::unique_lock lock(mutex);
            answered = false;
            sentAt = platform::MicroNow();
            if (write(pty.master, "x", 1) != 1) break;
            if (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return answered; })) break;
            lock.unlock();
            // A short gap, so each byte is a wake-up of its own.
            usleep(200);
        }
        done = true;
        platform::MainQueue().Wake();
    });
    OwnerLoop(120000, done);
    peer.join();
    port.ClosePort();
    return latencies;
}

} // namespace

int main() {
    platform::SetMainThread();
    auto lat = RxCharLatencies(3000);
    if (lat.empty()) {
        std::fprintf(stderr, "no OnRxChar arrived\n");
        return 1;
    }
    bench::Figure("rxchar_latency_median_us", bench::Percentile(lat, 50));
    bench::Figure("rxchar_latency_p99_us", bench::Percentile(lat, 99));
    bench::Figure("event_thread_idle_cpu_percent", IdleCpuPercent(10000));
    return 0;
}

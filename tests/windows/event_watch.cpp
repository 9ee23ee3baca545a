// Test harness only: watches the line events of a port under wine and
// prints one line per notification, for tests/windows/event_thread_test.py.
// Usage: win_event_watch PORT. Ends when the byte Q arrives (or after 30 s)
// and prints how long the close took.
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "serial/win32/Win32ComDevice.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace {
std::mutex g_mutex;
std::condition_variable g_done;
bool g_quit = false;

void Say(const std::string& line) {
    std::lock_guard lock(g_mutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 1;
    serial::TComPort port;
    port.SetPort(argv[1]);
    port.SetSyncMethod(serial::smNone);
    port.OnRxChar = [](serial::TCustomComPort* p, int count) {
        std::string bytes;
        p->ReadText(bytes, count);
        Say("rx " + bytes);
        if (bytes.find('Q') != std::string::npos) {
            std::lock_guard lock(g_mutex);
            g_quit = true;
            g_done.notify_all();
        }
    };
    port.OnCTSChange = [](serial::TCustomComPort*, bool on) { Say(std::string("cts ") + (on ? "1" : "0")); };
    port.OnDSRChange = [](serial::TCustomComPort*, bool on) { Say(std::string("dsr ") + (on ? "1" : "0")); };
    port.OnRLSDChange = [](serial::TCustomComPort*, bool on) { Say(std::string("rlsd ") + (on ? "1" : "0")); };
    port.OnRing = [](serial::TCustomComPort*) { Say("ring"); };
    port.OnBreak = [](serial::TCustomComPort*) { Say("break"); };
    port.OnError = [](serial::TCustomComPort*, serial::TComErrors e) {
        Say("error " + std::to_string(e.Contains(serial::ceFrame)) +
            std::to_string(e.Contains(serial::ceOverrun)));
    };
    try {
        port.OpenPort();
    } catch (const serial::EComPort& e) {
        Say(std::string("open failed: ") + e.what());
        return 3;
    }
    auto* device = dynamic_cast<serial::Win32ComDevice*>(port.Device());
    Say(std::string("open modem-lines ") + (device && device->HasModemLines() ? "yes" : "no") +
        " driver-events " + (device && device->WaitsForEvents() ? "yes" : "no"));
    const uint32_t opened = platform::GetTickCount();
    for (;;) {
        std::unique_lock lock(g_mutex);
        if (g_quit || platform::ElapsedSince(opened) > 30000) break;
        g_done.wait_for(lock, std::chrono::milliseconds(100));
    }
    Say(std::string("closing ") + (g_quit ? "on Q" : "after 30 s") + " " + std::to_string(platform::ElapsedSince(opened)));
    const uint32_t start = platform::GetTickCount();
    port.ClosePort();
    Say("closed " + std::to_string(platform::ElapsedSince(start)) + " ms driver-events " +
        (device && device->WaitsForEvents() ? "yes" : "no"));
    return 0;
}

#include "cli/Signals.h"

// Windows: SignalsWin32.cpp.
#ifndef _WIN32

#include "cli/Cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace cli {
namespace {

// The first terminating signal (SIGINT, SIGTERM, SIGHUP) ends the run after
// the orderly close. The handler only notes it and wakes a blocked line read
// through a pipe; everything else happens between the waits, which are short.
std::atomic<int> g_signal{0};
int g_wake[2] = {-1, -1};
// Standard output went away (a closed pipe): the run ends like on a signal.
std::atomic<bool> g_outputGone{false};

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (g_wake[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] const ssize_t n = write(g_wake[1], &c, 1);
    }
    errno = saved;
}

} // namespace

bool Stopping() {
    return g_signal.load() != 0 || g_outputGone.load();
}

int StopStatus() {
    if (const int s = g_signal.load(); s != 0) return 128 + s;
    return kOutputClosed;
}

void InstallSignalHandlers() {
    if (g_wake[0] < 0 && pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no restart: a blocked read returns at once
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    // A closed standard output is a failed write, seen after each result.
    signal(SIGPIPE, SIG_IGN);
}

void NoteOutputGone() {
    g_outputGone.store(true);
}

bool OutputGone() {
    return g_outputGone.load();
}

int WakeDescriptor() {
    return g_wake[0];
}

} // namespace cli

#endif

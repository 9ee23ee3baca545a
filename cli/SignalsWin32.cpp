// The stop of a run on Windows: the console's Ctrl-C and Ctrl-Break stand
// for SIGINT, closing the console window for SIGHUP, a log-off or shut-down
// for SIGTERM (so the statuses read as on Linux). Standard output is made
// binary, so a JSON line ends in LF as on Linux.
#ifdef _WIN32

#include "cli/Signals.h"

#include "cli/Cli.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

namespace cli {
namespace {

constexpr int kSigInt = 2, kSigHup = 1, kSigTerm = 15;
std::atomic<int> g_signal{0};
std::atomic<bool> g_outputGone{false};

BOOL WINAPI OnConsoleEvent(DWORD type) {
    int signal = 0;
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        signal = kSigInt;
        break;
    case CTRL_CLOSE_EVENT:
        signal = kSigHup;
        break;
    default:
        signal = kSigTerm;
        break;
    }
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: give the run its close first
        // (it ends the process itself once done, within Windows' 5 s).
        Sleep(4000);
    }
    return TRUE;
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
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    _setmode(_fileno(stdout), _O_BINARY);
    // The C library leaves standard output unbuffered on a console or NUL,
    // where it then writes each character on its own; every line is flushed
    // whole instead (Print flushes after each).
    setvbuf(stdout, nullptr, _IOFBF, 1 << 14);
}

void NoteOutputGone() {
    g_outputGone.store(true);
}

bool OutputGone() {
    return g_outputGone.load();
}

int WakeDescriptor() {
    return -1;
}

} // namespace cli

#endif

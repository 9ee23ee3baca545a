#include "sim/ConsoleLoop.h"

#include <cerrno>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace sim {

namespace {
std::mutex g_out;
} // namespace

int BlockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    return signalfd(-1, &stop, SFD_CLOEXEC);
}

void ConsoleLoop(int sigFd, const std::function<bool(const std::string&)>& execute) {
    std::string pending;
    for (bool running = true; running;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sigFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) break;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[1024];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            if (!pending.empty()) execute(pending);
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t eol; running && (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            running = execute(line);
        }
    }
    ::close(sigFd);
}

void ConsoleSay(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_out);
    std::cout << line << std::endl;
}

} // namespace sim

#include "sim/ConsoleLoop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
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

int ServeConsole(const std::function<void(int sigFd)>& serve) {
    // Blocked before the simulator's thread starts, so the signals only reach the signalfd.
    int sigFd = BlockStopSignals();
    if (sigFd < 0) {
        std::perror("quorrin-sim: signalfd");
        return 1;
    }
    try {
        serve(sigFd);
    } catch (const std::exception& e) {
        std::cerr << "quorrin-sim: " << e.what() << "\n";
        ::close(sigFd); // ConsoleLoop closes it only when it returns
        return 1;
    }
    return 0;
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

std::vector<std::string> ConsoleWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::optional<long> ConsoleNumber(const std::string& word, long max) {
    int base = 10;
    std::string digits = word;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        digits = word.substr(2);
    } else if (word.size() > 2 && word[0] == '0' && (word[1] == 'b' || word[1] == 'B')) {
        base = 2;
        digits = word.substr(2);
    }
    if (digits.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(digits.c_str(), &end, base);
    if (errno || *end != '\0' || v < 0 || v > max) return std::nullopt;
    return v;
}

std::optional<bool> ConsoleOnOff(const std::string& word) {
    if (word == "on" || word == "1") return true;
    if (word == "off" || word == "0") return false;
    return std::nullopt;
}

} // namespace sim

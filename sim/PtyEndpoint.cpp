#include "sim/PtyEndpoint.h"

#include "platform/Tick.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// A master whose every slave is gone and cannot be re-opened is looked at again after this.
constexpr int kHangUpPauseMs = 100;

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

PtyEndpoint::PtyEndpoint(const std::string& who, std::mutex& mutex) : mutex_(mutex) {
    auto fail = [&](const char* what) {
        std::string reason = std::strerror(errno);
        CloseFd(master_);
        CloseFd(spare_);
        CloseFd(wake_[0]);
        CloseFd(wake_[1]);
        return std::runtime_error(who + ": " + what + ": " + reason);
    };
    char name[128] = {};
    if (openpty(&master_, &spare_, name, nullptr, nullptr) < 0) throw fail("openpty");
    path_ = name;
    termios tio{};
    if (tcgetattr(spare_, &tio) < 0) throw fail("tcgetattr");
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (tcsetattr(spare_, TCSANOW, &tio) < 0) throw fail("tcsetattr");
    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) < 0) throw fail("fcntl");
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) throw fail("pipe2");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(spare_, F_SETFD, FD_CLOEXEC);
}

PtyEndpoint::~PtyEndpoint() {
    Stop();
    CloseFd(master_);
    CloseFd(spare_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void PtyEndpoint::Start(PtyHooks hooks) {
    hooks_ = std::move(hooks);
    thread_ = std::thread([this] { Serve(); });
}

void PtyEndpoint::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
}

void PtyEndpoint::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void PtyEndpoint::Serve() {
    char buf[4096];
    for (;;) {
        bool wantOutput = false;
        int timeout;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            timeout = hooks_.pollTimeoutMs(wantOutput);
        }
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (wantOutput ? POLLOUT : 0)), 0},
                         {wake_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nothing sensible left to serve
        }
        if (fds[1].revents & POLLIN) {
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got > 0) hooks_.input(buf, static_cast<size_t>(got));
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            // Only when every slave descriptor is gone, ours included: re-open ours so the line
            // is up again instead of polling a hung-up master in a loop. When that fails, sleep
            // a while on the wake-up pipe, so Stop() still ends the wait at once.
            if (!ReopenSpare()) {
                pollfd wake{wake_[0], POLLIN, 0};
                ::poll(&wake, 1, kHangUpPauseMs);
            }
        }
        hooks_.due();
    }
}

bool PtyEndpoint::ReopenSpare() {
    std::lock_guard<std::mutex> lock(mutex_); // the simulator reads the line through the spare
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

int PollTimeoutUntil(uint64_t dueUs, uint64_t nowUs) {
    if (dueUs == 0) return -1;
    if (dueUs <= nowUs) return 0;
    return static_cast<int>((dueUs - nowUs + 999) / 1000);
}

bool PtyOutbox::Add(uint64_t dueUs, std::string bytes) {
    if (bytes.empty() || !Room(bytes.size())) return false;
    Push(dueUs, std::move(bytes));
    return true;
}

void PtyOutbox::Push(uint64_t dueUs, std::string bytes) {
    bytes_ += bytes.size();
    queue_.push_back({dueUs, std::move(bytes)});
}

int PtyOutbox::PollTimeoutMs(uint64_t nowUs, bool& wantOutput) const {
    if (queue_.empty()) return -1;
    if (queue_.front().dueUs <= nowUs) {
        wantOutput = true;
        return -1;
    }
    return PollTimeoutUntil(queue_.front().dueUs, nowUs);
}

bool PtyOutbox::Flush(int fd,
                      const std::function<void(uint64_t atUs, const char* data, size_t n)>& sent) {
    bool wrote = false;
    while (!queue_.empty()) {
        Entry& front = queue_.front();
        uint64_t now = platform::MicroNow();
        if (front.dueUs > now) break;
        ssize_t put = ::write(fd, front.bytes.data(), front.bytes.size());
        if (put <= 0) break; // full (EAGAIN): POLLOUT says when to go on
        sent(now, front.bytes.data(), static_cast<size_t>(put));
        bytes_ -= static_cast<size_t>(put);
        wrote = true;
        if (static_cast<size_t>(put) < front.bytes.size()) {
            front.bytes.erase(0, static_cast<size_t>(put));
            break;
        }
        queue_.pop_front();
    }
    return wrote;
}

} // namespace sim

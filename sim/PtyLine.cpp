#include "sim/PtyLine.h"

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

class PtyLine final : public LineEnd {
  public:
    explicit PtyLine(const std::string& who);
    ~PtyLine() override {
        CloseFd(master_);
        CloseFd(spare_);
        CloseFd(wake_[0]);
        CloseFd(wake_[1]);
    }

    const std::string& Name() const override { return path_; }
    LineSettings Settings() const override {
        LineSettings line;
        if (!ReadLineSettings(master_, line)) return LineSettings{};
        return line;
    }
    bool Wait(int timeoutMs, bool wantOutput) override;
    size_t Read(char* buffer, size_t count) override;
    size_t Write(const char* data, size_t count) override {
        ssize_t put = ::write(master_, data, count);
        return put > 0 ? static_cast<size_t>(put) : 0; // full (EAGAIN): POLLOUT says when
    }
    void Wake() override {
        char b = 1;
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
    }

  private:
    bool ReopenSpare();

    int master_ = -1;
    int spare_ = -1; // our own slave descriptor
    int wake_[2] = {-1, -1};
    bool readable_ = false;
    std::string path_;
};

PtyLine::PtyLine(const std::string& who) {
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

bool PtyLine::Wait(int timeoutMs, bool wantOutput) {
    pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (wantOutput ? POLLOUT : 0)), 0},
                     {wake_[0], POLLIN, 0}};
    int n = ::poll(fds, 2, timeoutMs);
    if (n < 0) return errno == EINTR; // else nothing sensible left to serve
    if (fds[1].revents & POLLIN) {
        char buf[64];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
    }
    readable_ = (fds[0].revents & POLLIN) != 0;
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !readable_) {
        // Only when every slave descriptor is gone, ours included: re-open ours so the line is
        // up again instead of polling a hung-up master in a loop. When that fails, sleep a while
        // on the wake-up pipe, so a stop still ends the wait at once.
        if (!ReopenSpare()) {
            pollfd wake{wake_[0], POLLIN, 0};
            ::poll(&wake, 1, kHangUpPauseMs);
        }
    }
    return true;
}

size_t PtyLine::Read(char* buffer, size_t count) {
    if (!readable_) return 0;
    readable_ = false;
    ssize_t got = ::read(master_, buffer, count);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool PtyLine::ReopenSpare() {
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

} // namespace

std::unique_ptr<LineEnd> OpenPtyLine(const std::string& who) {
    return std::make_unique<PtyLine>(who);
}

} // namespace sim

#include "sim/PtyTransport.h"

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

int PollTimeoutUntil(uint64_t dueUs, uint64_t nowUs) {
    if (dueUs == 0) return -1;
    if (dueUs <= nowUs) return 0;
    return static_cast<int>((dueUs - nowUs + 999) / 1000);
}

// ---------------------------------------------------------------- Outbox

bool Outbox::Queue(const std::string& bytes, uint64_t earliestUs, uint64_t gapUs, unsigned baud) {
    if (bytes.empty() || !Room(bytes.size())) return false;
    uint64_t due = std::max(earliestUs, nextFreeUs_);
    bytes_ += bytes.size();
    if (gapUs == 0) {
        queue_.push_back({due, bytes, baud});
        nextFreeUs_ = due;
        return true;
    }
    for (char c : bytes) {
        queue_.push_back({due, std::string(1, c), baud});
        due += gapUs;
    }
    nextFreeUs_ = due;
    return true;
}

int Outbox::PollTimeoutMs(uint64_t nowUs, bool& wantOutput) const {
    if (queue_.empty()) return -1;
    if (queue_.front().dueUs <= nowUs) {
        wantOutput = true;
        return -1;
    }
    return PollTimeoutUntil(queue_.front().dueUs, nowUs);
}

size_t Outbox::Flush(int fd, uint64_t nowUs, const Sent& sent) {
    std::string due;
    for (const Entry& e : queue_) {
        if (e.dueUs > nowUs) break;
        due += e.bytes;
    }
    if (due.empty()) return 0;
    ssize_t put = ::write(fd, due.data(), due.size());
    if (put <= 0) return 0; // full (EAGAIN): POLLOUT says when to go on
    size_t left = static_cast<size_t>(put);
    while (left > 0) {
        Entry& front = queue_.front();
        size_t n = std::min(left, front.bytes.size());
        sent(nowUs, front.bytes.data(), n, front.baud);
        bytes_ -= n;
        left -= n;
        if (n < front.bytes.size()) {
            front.bytes.erase(0, n);
        } else {
            queue_.pop_front();
        }
    }
    return static_cast<size_t>(put);
}

// ---------------------------------------------------------------- the pty and its thread

PtyTransport::PtyTransport(const std::string& who, size_t recordLimit)
    : received_(recordLimit), sent_(recordLimit) {
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

PtyTransport::~PtyTransport() {
    Stop();
    CloseFd(master_);
    CloseFd(spare_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void PtyTransport::Start() {
    thread_ = std::thread([this] { Serve(); });
}

void PtyTransport::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
}

void PtyTransport::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void PtyTransport::Serve() {
    char buf[4096];
    for (;;) {
        bool wantOutput = false;
        int timeout;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            timeout = PollTimeoutMs(wantOutput);
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
            if (got > 0) HandleInput(buf, static_cast<size_t>(got));
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
        FlushDue();
    }
}

bool PtyTransport::ReopenSpare() {
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

int PtyTransport::PollTimeoutMs(bool& wantOutput) {
    uint64_t now = platform::MicroNow();
    int timeout = outgoing_.PollTimeoutMs(now, wantOutput);
    if (wantOutput) return timeout;
    uint64_t next = NextStepUs();
    if (!outgoing_.Empty())
        next = next == 0 ? outgoing_.NextDueUs() : std::min(next, outgoing_.NextDueUs());
    return PollTimeoutUntil(next, now);
}

void PtyTransport::HandleInput(const char* data, size_t n) {
    std::function<void()> after;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        LineSettings line = Line();
        bool heard = Hears(line);
        for (size_t i = 0; i < n; ++i)
            received_.Add({now, static_cast<uint8_t>(data[i]), line.baud, heard});
        if (tap_) tap_(true, now, data, n);
        after = Input(std::string(data, n), line, now);
    }
    changed_.notify_all();
    if (after) after();
}

void PtyTransport::FlushDue() {
    bool wrote = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        uint64_t step = NextStepUs();
        if (step != 0 && step <= now) Step(now);
        auto record = [this](uint64_t at, const char* data, size_t n, unsigned baud) {
            for (size_t i = 0; i < n; ++i)
                sent_.Add({at, static_cast<uint8_t>(data[i]), baud, true});
            if (tap_ && n > 0) tap_(false, at, data, n);
        };
        while (outgoing_.Flush(master_, now, record) > 0) {
            wrote = true;
            now = platform::MicroNow();
            Sent(now); // may queue more that is due at once
        }
    }
    if (wrote) changed_.notify_all();
}

// ---------------------------------------------------------------- what the simulator reaches

LineSettings PtyTransport::Line() const {
    LineSettings line;
    if (!ReadLineSettings(master_, line)) return LineSettings{};
    return line;
}

void PtyTransport::Answer(const std::string& bytes, uint64_t nowUs) {
    if (bytes.empty()) return;
    outgoing_.Queue(bytes, nowUs + answerDelayUs_, 0, Line().baud);
}

std::vector<LineByte> PtyTransport::ReceivedBytes() {
    return Locked([&] { return received_.Entries(); });
}

std::vector<LineByte> PtyTransport::SentBytes() {
    return Locked([&] { return sent_.Entries(); });
}

void PtyTransport::ClearRecords() {
    Locked([&] {
        received_.Clear();
        sent_.Clear();
        ClearOwnRecords();
    });
}

bool PtyTransport::WaitForReceived(size_t n, int timeoutMs) {
    return WaitFor(timeoutMs, [&] { return received_.Count() >= n; });
}

bool PtyTransport::WaitForSent(size_t n, int timeoutMs) {
    return WaitFor(timeoutMs, [&] { return sent_.Count() >= n; });
}

void PtyTransport::SendUnsolicited(const std::string& bytes) {
    bool queued =
        Locked([&] { return outgoing_.Queue(bytes, platform::MicroNow(), 0, Line().baud); });
    if (queued) Wake();
}

void PtyTransport::SetLineTap(LineTap tap) {
    Locked([&] { tap_ = std::move(tap); });
}

void PtyTransport::SetAnswerDelayMs(int ms) {
    Locked([&] { answerDelayUs_ = static_cast<uint64_t>(std::max(ms, 0)) * 1000; });
}

} // namespace sim

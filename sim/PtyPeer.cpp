#include "sim/PtyPeer.h"

#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// Unread answers beyond this are lost, as on a line whose receiver is not listening.
constexpr size_t kMaxOutgoingBytes = 64 * 1024;
// Records keep the newest bytes only, so a long-running simulator stays small.
constexpr size_t kMaxRecord = 1 << 20;

std::runtime_error SysError(const std::string& who, const char* what) {
    return std::runtime_error(who + ": " + what + ": " + std::strerror(errno));
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Record(std::vector<LineByte>& record, uint64_t atUs, const char* data, size_t n) {
    if (record.size() + n > kMaxRecord) record.erase(record.begin(), record.begin() + n);
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
}

} // namespace

PtyPeer::PtyPeer(PeerModel& model, const char* name) : model_(model), name_(name) {
    char path[128] = {};
    if (openpty(&master_, &spare_, path, nullptr, nullptr) < 0) throw SysError(name_, "openpty");
    path_ = path;
    try {
        termios tio{};
        if (tcgetattr(spare_, &tio) < 0) throw SysError(name_, "tcgetattr");
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        if (tcsetattr(spare_, TCSANOW, &tio) < 0) throw SysError(name_, "tcsetattr");
        int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) < 0)
            throw SysError(name_, "fcntl");
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) throw SysError(name_, "pipe2");
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(spare_, F_SETFD, FD_CLOEXEC);
        thread_ = std::thread([this] { Serve(); });
    } catch (...) {
        CloseFd(master_);
        CloseFd(spare_);
        CloseFd(wake_[0]);
        CloseFd(wake_[1]);
        throw;
    }
}

PtyPeer::~PtyPeer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    CloseFd(master_);
    CloseFd(spare_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void PtyPeer::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void PtyPeer::Serve() {
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
            return;
        }
        if (fds[1].revents & POLLIN) {
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            ssize_t got = ::read(master_, buf, sizeof buf);
            if (got > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    uint64_t now = platform::MicroNow();
                    Record(received_, now, buf, static_cast<size_t>(got));
                    std::string answer = model_.Feed(std::string(buf, static_cast<size_t>(got)),
                                                     LineLocked().baud, now);
                    Queue(std::move(answer), now);
                }
                changed_.notify_all();
            }
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            // Only when every slave descriptor is gone, ours included: re-open ours so the
            // line is up again instead of polling a hung-up master in a loop.
            if (!ReopenSpare()) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; });
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uint64_t now = platform::MicroNow();
            uint64_t due = model_.NextDueUs();
            if (due != 0 && due <= now) Queue(model_.Advance(now), now);
        }
        FlushDue();
    }
}

bool PtyPeer::ReopenSpare() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

void PtyPeer::Queue(std::string bytes, uint64_t nowUs) {
    if (bytes.empty() || outgoingBytes_ + bytes.size() > kMaxOutgoingBytes) return;
    outgoingBytes_ += bytes.size();
    outgoing_.push_back({nowUs + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(bytes)});
}

int PtyPeer::PollTimeoutMs(bool& wantOutput) {
    uint64_t now = platform::MicroNow();
    uint64_t next = model_.NextDueUs();
    if (!outgoing_.empty()) {
        if (outgoing_.front().dueUs <= now) {
            wantOutput = true;
            return -1;
        }
        next = next == 0 ? outgoing_.front().dueUs : std::min(next, outgoing_.front().dueUs);
    }
    if (next == 0) return -1;
    if (next <= now) return 0;
    // Round up so nothing happens before its time.
    return static_cast<int>((next - now + 999) / 1000);
}

void PtyPeer::FlushDue() {
    bool wrote = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!outgoing_.empty()) {
            Outgoing& front = outgoing_.front();
            uint64_t now = platform::MicroNow();
            if (front.dueUs > now) break;
            ssize_t put = ::write(master_, front.bytes.data(), front.bytes.size());
            if (put <= 0) break; // full: POLLOUT says when to go on
            Record(sent_, now, front.bytes.data(), static_cast<size_t>(put));
            outgoingBytes_ -= static_cast<size_t>(put);
            wrote = true;
            if (static_cast<size_t>(put) < front.bytes.size()) {
                front.bytes.erase(0, static_cast<size_t>(put));
                break;
            }
            outgoing_.pop_front();
        }
    }
    if (wrote) changed_.notify_all();
}

std::vector<LineByte> PtyPeer::Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<LineByte> PtyPeer::Sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

void PtyPeer::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
}

bool PtyPeer::WaitForReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                             [&] { return received_.size() >= n; });
}

bool PtyPeer::WaitForSent(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                             [&] { return sent_.size() >= n; });
}

PeerLine PtyPeer::LineLocked() {
    PeerLine line;
    if (!ReadPeerLine(master_, line)) return PeerLine{};
    return line;
}

PeerLine PtyPeer::Line() {
    std::lock_guard<std::mutex> lock(mutex_);
    return LineLocked();
}

void PtyPeer::SetAnswerDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDelayMs_ = std::max(ms, 0);
}

} // namespace sim

// The DINAMO model behind the master side of a pseudo-terminal, served by one thread that
// sleeps in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/DinamoSim.h"

#include "platform/Tick.h"
#include "sim/PtyPeer.h"

#include <algorithm>
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

// Unread answers beyond this are lost, as on a line whose receiver is not listening.
constexpr size_t kMaxOutgoingBytes = 64 * 1024;

std::runtime_error SysError(const char* what) {
    return std::runtime_error(std::string("DinamoSim: ") + what + ": " + std::strerror(errno));
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throw SysError("fcntl");
}

// Raw from the start: nothing the code under test does before configuring the port may echo
// or translate a byte.
void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) < 0) throw SysError("tcgetattr");
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (tcsetattr(fd, TCSANOW, &tio) < 0) throw SysError("tcsetattr");
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

DinamoSim::DinamoSim(size_t recordLimit) : recordLimit_(recordLimit) {
    char name[128] = {};
    if (openpty(&master_, &spare_, name, nullptr, nullptr) < 0) throw SysError("openpty");
    path_ = name;
    try {
        MakeRaw(spare_);
        SetNonBlocking(master_);
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) throw SysError("pipe2");
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

DinamoSim::~DinamoSim() {
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

void DinamoSim::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void DinamoSim::Serve() {
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
            if (got > 0) HandleInput(buf, static_cast<size_t>(got));
        }
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            // Every slave descriptor is gone, ours included: re-open ours instead of polling a
            // hung-up master in a loop.
            if (!ReopenSpare()) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; });
            }
        }
        FlushDue();
    }
}

bool DinamoSim::ReopenSpare() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

int DinamoSim::PollTimeoutMs(bool& wantOutput) {
    if (outgoing_.empty()) return -1;
    uint64_t now = platform::MicroNow();
    const Outgoing& front = outgoing_.front();
    if (front.dueUs <= now) {
        wantOutput = true;
        return -1;
    }
    // Round up so an answer never leaves before its time.
    return static_cast<int>((front.dueUs - now + 999) / 1000);
}

void DinamoSim::Record(std::deque<DinamoByte>& record, uint64_t atUs, const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
    if (recordLimit_ > 0) {
        while (record.size() > recordLimit_)
            record.pop_front();
    }
}

void DinamoSim::Enqueue(uint64_t dueUs, std::string bytes) {
    if (bytes.empty() || outgoingBytes_ + bytes.size() > kMaxOutgoingBytes) return;
    outgoingBytes_ += bytes.size();
    outgoing_.push_back({dueUs, std::move(bytes)});
}

void DinamoSim::HandleInput(const char* data, size_t n) {
    std::vector<DinamoFrameEvent> events;
    std::function<void(const DinamoFrameEvent&)> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        Record(received_, now, data, n);
        receivedCount_ += n;
        std::string answer = model_.Feed(std::string(data, n), &events);
        Enqueue(now + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(answer));
        for (DinamoFrameEvent& e : events) {
            e.atUs = now;
            frames_.push_back(e);
            ++frameCount_;
        }
        if (recordLimit_ > 0) {
            while (frames_.size() > recordLimit_)
                frames_.pop_front();
        }
        monitor = monitor_;
    }
    changed_.notify_all();
    if (monitor) {
        for (const DinamoFrameEvent& e : events)
            monitor(e);
    }
}

void DinamoSim::FlushDue() {
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

void DinamoSim::QueueOccupancy(uint8_t input, bool occupied) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.QueueOccupancy(input, occupied);
}
void DinamoSim::QueueMagnet(uint8_t magnet, bool state) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.QueueMagnet(magnet, state);
}
void DinamoSim::QueueBlock(uint8_t block, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.QueueBlock(block, value);
}
void DinamoSim::QueueRaw(const std::string& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.QueueRaw(data);
}
size_t DinamoSim::ReportsWaiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.ReportsWaiting();
}
void DinamoSim::SetHold(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetHold(on);
}
void DinamoSim::SetFault(bool on, int resetsToClear) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetFault(on, resetsToClear);
}
void DinamoSim::SetBadCheckNext() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetBadCheckNext();
}
void DinamoSim::SetSilent(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetSilent(on);
}
void DinamoSim::SetAnswerDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDelayMs_ = std::max(ms, 0);
}
bool DinamoSim::Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Hold();
}
bool DinamoSim::Fault() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Fault();
}
std::vector<std::string> DinamoSim::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Commands();
}
uint64_t DinamoSim::ResetsReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.ResetsReceived();
}
uint64_t DinamoSim::FramesRejected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.FramesRejected();
}
uint64_t DinamoSim::BytesSkipped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.BytesSkipped();
}
std::vector<DinamoFrameEvent> DinamoSim::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {frames_.begin(), frames_.end()};
}
std::vector<DinamoByte> DinamoSim::ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}
std::vector<DinamoByte> DinamoSim::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

void DinamoSim::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
    frames_.clear();
    receivedCount_ = 0;
    frameCount_ = 0;
}

bool DinamoSim::WaitForReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                             [&] { return receivedCount_ >= n; });
}

bool DinamoSim::WaitForFrames(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                             [&] { return frameCount_ >= n; });
}

void DinamoSim::SendUnsolicited(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Enqueue(platform::MicroNow(), bytes);
    }
    Wake();
}

unsigned DinamoSim::Baud() {
    std::lock_guard<std::mutex> lock(mutex_);
    PeerLine line;
    if (spare_ < 0 || !ReadPeerLine(spare_, line)) return 0;
    return line.baud;
}

bool DinamoSim::TwoStopBits() {
    std::lock_guard<std::mutex> lock(mutex_);
    termios tio{};
    if (spare_ < 0 || tcgetattr(spare_, &tio) < 0) return false;
    return (tio.c_cflag & CSTOPB) != 0;
}

void DinamoSim::SetFrameMonitor(std::function<void(const DinamoFrameEvent&)> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitor_ = std::move(monitor);
}

} // namespace sim

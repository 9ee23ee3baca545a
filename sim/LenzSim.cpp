// The Lenz model behind the master side of a pseudo-terminal, served by one thread that sleeps
// in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/LenzSim.h"

#include "platform/Tick.h"

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
// Records keep the newest bytes only, so a long session does not grow without end.
constexpr size_t kRecordLimit = 1 << 20;

std::runtime_error SysError(const char* what) {
    return std::runtime_error(std::string("LenzSim: ") + what + ": " + std::strerror(errno));
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Record(std::deque<LenzByte>& record, uint64_t atUs, const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
    while (record.size() > kRecordLimit)
        record.pop_front();
}

} // namespace

LenzSim::LenzSim(uint8_t versionByte) : model_(versionByte) {
    char name[128] = {};
    if (openpty(&master_, &spare_, name, nullptr, nullptr) < 0) throw SysError("openpty");
    path_ = name;
    try {
        termios tio{};
        if (tcgetattr(spare_, &tio) < 0) throw SysError("tcgetattr");
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        if (tcsetattr(spare_, TCSANOW, &tio) < 0) throw SysError("tcsetattr");
        int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) < 0) throw SysError("fcntl");
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

LenzSim::~LenzSim() {
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

void LenzSim::Wake() {
    char b = 1;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t r = ::write(wake_[1], &b, 1);
}

void LenzSim::Serve() {
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
            // Every slave descriptor is gone, ours included: re-open ours so the line is up
            // again instead of polling a hung-up master in a loop.
            if (!ReopenSpare()) {
                std::unique_lock<std::mutex> lock(mutex_);
                recordChanged_.wait_for(lock, std::chrono::milliseconds(100),
                                        [this] { return stop_; });
            }
        }
        FlushDue();
    }
}

bool LenzSim::ReopenSpare() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFd(spare_);
    spare_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return spare_ >= 0;
}

int LenzSim::PollTimeoutMs(bool& wantOutput) {
    if (outgoing_.empty()) return -1;
    uint64_t now = platform::MicroNow();
    const Outgoing& front = outgoing_.front();
    if (front.dueUs <= now) {
        wantOutput = true;
        return -1;
    }
    return static_cast<int>((front.dueUs - now + 999) / 1000);
}

void LenzSim::Queue(const std::vector<std::string>& messages, uint64_t delayUs) {
    uint64_t due = std::max(platform::MicroNow() + delayUs, lastDueUs_);
    for (const std::string& m : messages) {
        std::string bytes = garbage_ + m;
        if (outgoingBytes_ + bytes.size() > kMaxOutgoingBytes) return;
        outgoingBytes_ += bytes.size();
        if (chunkGapMs_ <= 0) {
            outgoing_.push_back({due, bytes});
            continue;
        }
        for (char c : bytes) {
            outgoing_.push_back({due, std::string(1, c)});
            due += static_cast<uint64_t>(chunkGapMs_) * 1000;
        }
    }
    // Answers never overtake each other, whatever delay each was given.
    lastDueUs_ = due;
}

void LenzSim::HandleInput(const char* data, size_t n) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Record(received_, platform::MicroNow(), data, n);
        Queue(model_.Feed(std::string(data, n)), static_cast<uint64_t>(answerDelayMs_) * 1000);
    }
    recordChanged_.notify_all();
}

void LenzSim::FlushDue() {
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
    if (wrote) recordChanged_.notify_all();
}

void LenzSim::WithModel(const std::function<std::vector<std::string>(LenzModel&)>& fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Queue(fn(model_), 0);
    }
    Wake();
}

void LenzSim::SetVersionByte(uint8_t v) {
    WithModel([v](LenzModel& m) {
        m.SetVersionByte(v);
        return std::vector<std::string>{};
    });
}

LenzPower LenzSim::Power() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Power();
}

bool LenzSim::Loco(uint16_t address, LenzLoco& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const LenzLoco* l = model_.Loco(address);
    if (l) out = *l;
    return l != nullptr;
}

void LenzSim::SetInputs(uint8_t module, uint8_t inputs) {
    WithModel([=](LenzModel& m) { return m.SetInputs(module, inputs); });
}

void LenzSim::TakeOver(uint16_t address) {
    WithModel([=](LenzModel& m) { return std::vector<std::string>{m.TakeOver(address)}; });
}

void LenzSim::HandEmergencyStop() {
    WithModel([](LenzModel& m) { return std::vector<std::string>{m.HandEmergencyStop()}; });
}

void LenzSim::SwitchPower(bool on) {
    WithModel([=](LenzModel& m) { return m.SwitchPower(on); });
}

void LenzSim::SendRaw(const std::string& bytes) {
    if (bytes.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outgoingBytes_ + bytes.size() > kMaxOutgoingBytes) return;
        outgoingBytes_ += bytes.size();
        uint64_t due = std::max(platform::MicroNow(), lastDueUs_);
        outgoing_.push_back({due, bytes});
        lastDueUs_ = due;
    }
    Wake();
}

std::vector<LenzByte> LenzSim::ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}

std::vector<LenzByte> LenzSim::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

void LenzSim::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
}

bool LenzSim::WaitForReceived(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recordChanged_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                   [&] { return received_.size() >= n; });
}

bool LenzSim::WaitForSent(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return recordChanged_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                   [&] { return sent_.size() >= n; });
}

uint64_t LenzSim::XorErrors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.XorErrors();
}

void LenzSim::SetSilent(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetSilent(on);
}

void LenzSim::SetAnswerDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDelayMs_ = std::max(ms, 0);
}

void LenzSim::CorruptNextAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.CorruptNextAnswer();
}

void LenzSim::SetChunkGapMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunkGapMs_ = std::max(ms, 0);
}

void LenzSim::SetGarbage(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    garbage_ = bytes;
}

void LenzSim::SetDropEvery(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetDropEvery(n);
}

void LenzSim::SetMissingBroadcasts(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetMissingBroadcasts(n);
}

void LenzSim::ReportNext(LenzReport r) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.ReportNext(r);
}

void LenzSim::SetReportAlways(LenzReport r) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetReportAlways(r);
}

} // namespace sim

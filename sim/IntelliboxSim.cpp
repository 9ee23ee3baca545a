// The Intellibox model behind the master side of a pseudo-terminal. One thread sleeps in poll()
// until the PC sends something, a paced answer byte falls due or a setter wakes it. The line
// rate is read from the master side for every chunk received: Linux shows the slave's termios
// there, so the interface hears the PC only while the PC's rate matches its own.
#include "sim/IntelliboxSim.h"

#include "platform/Tick.h"
#include "sim/PtyPeer.h"

#include <algorithm>
#include <cstdint>
#include <unistd.h>

namespace sim {

namespace {

// The line as the master side shows it (baud 0 when that cannot be read).
IBLine LineOf(int fd) {
    PeerLine peer;
    if (!ReadPeerLine(fd, peer)) return IBLine{};
    IBLine line;
    line.baud = peer.baud;
    line.twoStopBits = peer.twoStopBits;
    line.rtsCts = peer.rtsCts;
    return line;
}

// Answers beyond this many unsent bytes are lost, as on a line whose receiver is not listening.
constexpr size_t kMaxOutgoing = 64 * 1024;
// An endless text answer is generated this far ahead of the line.
constexpr size_t kEndlessAhead = 64;
// Start bit, eight data bits, two stop bits.
constexpr uint64_t kBitsPerByte = 11;

} // namespace

IntelliboxSim::IntelliboxSim(IBMode mode, unsigned baud)
    : model_(mode, baud), pty_("IntelliboxSim", mutex_) {
    pty_.Start({[this](bool& wantOutput) { return PollTimeoutMs(wantOutput); },
                [this](const char* data, size_t n) { HandleInput(data, n); },
                [this] { FlushDue(); }});
}

IntelliboxSim::~IntelliboxSim() {
    pty_.Stop();
}

int IntelliboxSim::PollTimeoutMs(bool& wantOutput) {
    if (outgoing_.empty()) return -1;
    uint64_t now = platform::MicroNow();
    uint64_t due = outgoing_.front().dueUs;
    if (due <= now) {
        wantOutput = true;
        return -1;
    }
    return PollTimeoutUntil(due, now);
}

void IntelliboxSim::Queue(const std::string& bytes, unsigned baud, uint64_t now) {
    if (bytes.empty() || outgoing_.size() + bytes.size() > kMaxOutgoing) return;
    uint64_t byteUs = pacing_ && baud > 0 ? kBitsPerByte * 1000000 / baud : 0;
    uint64_t at = std::max(now, lineFreeUs_);
    for (char c : bytes) {
        at += byteUs;
        outgoing_.push_back({at, static_cast<uint8_t>(c), baud});
    }
    lineFreeUs_ = at;
}

void IntelliboxSim::TopUpEndless(uint64_t now) {
    static const char kFill[] = "abcdefghijklmnopqrstuvwxyz ";
    while (endlessLeft_ > 0 && outgoing_.size() < kEndlessAhead) {
        Queue(std::string(1, kFill[endlessLeft_ % (sizeof kFill - 1)]), endlessBaud_, now);
        if (endlessLeft_ != SIZE_MAX) --endlessLeft_;
    }
}

void IntelliboxSim::HandleInput(const char* data, size_t n) {
    std::vector<IBCommand> commands;
    std::function<void(const IBCommand&)> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        unsigned lineBaud = LineOf(pty_.Master()).baud;
        unsigned rate = model_.Baud();
        bool heard = lineBaud == rate;
        for (size_t i = 0; i < n; ++i)
            received_.push_back({now, static_cast<uint8_t>(data[i]), lineBaud, heard});
        if (heard) {
            std::string answer = model_.Feed(std::string(data, n), &commands);
            Queue(answer, rate, now);
            if (size_t endless = model_.TakeEndlessText()) {
                endlessLeft_ = endless;
                endlessBaud_ = rate;
            }
        } else {
            model_.Reset();
            if (noise_) Queue(std::string(1, '\xFF'), lineBaud, now);
        }
        TopUpEndless(now);
        commands_.insert(commands_.end(), commands.begin(), commands.end());
        monitor = monitor_;
    }
    recordChanged_.notify_all();
    if (monitor) {
        for (const IBCommand& c : commands)
            monitor(c);
    }
}

void IntelliboxSim::FlushDue() {
    bool wrote = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (;;) {
            uint64_t now = platform::MicroNow();
            std::string due;
            for (const OutByte& o : outgoing_) {
                if (o.dueUs > now) break;
                due += static_cast<char>(o.byte);
            }
            if (due.empty()) break;
            ssize_t put = ::write(pty_.Master(), due.data(), due.size());
            if (put <= 0) break; // full: POLLOUT says when to go on
            for (ssize_t i = 0; i < put; ++i) {
                sent_.push_back({now, outgoing_.front().byte, outgoing_.front().baud});
                outgoing_.pop_front();
            }
            wrote = true;
            TopUpEndless(now);
            if (static_cast<size_t>(put) < due.size()) break;
        }
        if (outgoing_.empty()) lineFreeUs_ = 0;
    }
    if (wrote) recordChanged_.notify_all();
}

// ---------------------------------------------------------------- state and switches

unsigned IntelliboxSim::Baud() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Baud();
}

void IntelliboxSim::SetBaud(unsigned baud) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetBaud(baud);
}

void IntelliboxSim::SetMode(IBMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetMode(mode);
}

bool IntelliboxSim::Power() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Power();
}

std::map<uint16_t, IBLoc> IntelliboxSim::Locs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Locs();
}

std::map<uint8_t, uint8_t> IntelliboxSim::P50Locs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.P50Locs();
}

void IntelliboxSim::SetFeedback(uint8_t module, uint16_t inputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetFeedback(module, inputs);
}

IBLine IntelliboxSim::Line() {
    std::lock_guard<std::mutex> lock(mutex_);
    return LineOf(pty_.Master());
}

std::vector<IBReceived> IntelliboxSim::ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}

std::vector<IBSent> IntelliboxSim::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

std::vector<IBCommand> IntelliboxSim::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void IntelliboxSim::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
    commands_.clear();
}

bool IntelliboxSim::WaitForReceived(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return received_.size() >= n; });
}

bool IntelliboxSim::WaitForCommands(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return commands_.size() >= n; });
}

void IntelliboxSim::SetRequestMonitor(std::function<void(const IBCommand&)> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitor_ = std::move(monitor);
}

void IntelliboxSim::SetProbeAnswerBytes(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProbeAnswerBytes(n);
}

void IntelliboxSim::SetModeProbeAnswer(std::optional<std::string> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetModeProbeAnswer(std::move(answer));
}

void IntelliboxSim::SetReplyCode(uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetReplyCode(code);
}

void IntelliboxSim::SetNextReplyCode(uint8_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetNextReplyCode(code);
}

void IntelliboxSim::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetSilent(silent);
}

void IntelliboxSim::SetIgnoreBaudChange(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetIgnoreBaudChange(on);
}

void IntelliboxSim::SetEndlessText(size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetEndlessText(n);
    if (n == 0) endlessLeft_ = 0;
}

void IntelliboxSim::SetNoiseAtWrongRate(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    noise_ = on;
}

void IntelliboxSim::SetPacing(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    pacing_ = on;
}

} // namespace sim

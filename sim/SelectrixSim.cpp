// The Selectrix model behind the master side of a pseudo-terminal, served by one thread that
// sleeps in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/SelectrixSim.h"

#include "platform/Tick.h"
#include "sim/PtyPeer.h"

#include <algorithm>

namespace sim {

SelectrixSim::SelectrixSim(size_t recordLimit)
    : recordLimit_(recordLimit), pty_("SelectrixSim", mutex_) {
    pty_.Start({[this](bool& wantOutput) {
                    return outgoing_.PollTimeoutMs(platform::MicroNow(), wantOutput);
                },
                [this](const char* data, size_t n) { HandleInput(data, n); },
                [this] { FlushDue(); }});
}

SelectrixSim::~SelectrixSim() {
    pty_.Stop();
}

void SelectrixSim::HandleInput(const char* data, size_t n) {
    std::vector<RequestEvent> events;
    std::function<void(const RequestEvent&)> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        RecordBytes(received_, now, data, n, recordLimit_);
        receivedCount_ += n;
        std::string answer = model_.Feed(std::string(data, n), platform::GetTickCount(),
                                         monitor_ ? &events : nullptr);
        outgoing_.Add(now + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(answer));
        monitor = monitor_;
    }
    recordChanged_.notify_all();
    if (monitor) {
        for (const RequestEvent& e : events)
            monitor(e);
    }
}

void SelectrixSim::FlushDue() {
    bool wrote;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wrote = outgoing_.Flush(pty_.Master(), [this](uint64_t at, const char* data, size_t n) {
            RecordBytes(sent_, at, data, n, recordLimit_);
            sentCount_ += n;
        });
    }
    if (wrote) recordChanged_.notify_all();
}

uint8_t SelectrixSim::Bus(uint8_t addr) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.Advance(platform::GetTickCount());
    return model_.Bus(addr);
}

void SelectrixSim::SetBus(uint8_t addr, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetBus(addr, value);
}

bool SelectrixSim::TrackPower() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.TrackPower();
}

void SelectrixSim::SetTrackPower(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetTrackPower(on);
}

void SelectrixSim::SetFeedback(uint8_t addr, uint8_t inputs) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetFeedback(addr, inputs);
}

void SelectrixSim::SetProgrammingDecoder(uint8_t reg104, uint8_t reg105) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammingDecoder(reg104, reg105);
}

std::pair<uint8_t, uint8_t> SelectrixSim::ProgrammingDecoder() {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.Advance(platform::GetTickCount());
    return model_.ProgrammingDecoder();
}

void SelectrixSim::SetProgrammerTiming(const ProgrammerTiming& timing) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerTiming(timing);
}

std::vector<Received> SelectrixSim::ReceivedBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}

std::vector<Received> SelectrixSim::SentBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

void SelectrixSim::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    sent_.clear();
    receivedCount_ = 0;
    sentCount_ = 0;
}

bool SelectrixSim::WaitForReceived(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return receivedCount_ >= n; });
}

bool SelectrixSim::WaitForSent(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return sentCount_ >= n; });
}

void SelectrixSim::SendUnsolicited(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!outgoing_.Add(platform::MicroNow(), bytes)) return;
    }
    pty_.Wake();
}

LineSettings SelectrixSim::Line() {
    std::lock_guard<std::mutex> lock(mutex_);
    LineSettings line;
    // Any rate the PC set, also one without a termios code of its own.
    PeerLine peer;
    if (pty_.Spare() < 0 || !ReadPeerLine(pty_.Spare(), peer)) return line;
    line.baud = peer.baud;
    line.twoStopBits = peer.twoStopBits;
    line.rtsCts = peer.rtsCts;
    return line;
}

void SelectrixSim::SetRequestMonitor(std::function<void(const RequestEvent&)> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitor_ = std::move(monitor);
}

void SelectrixSim::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetSilent(silent);
}

void SelectrixSim::SetAnswerDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerDelayMs_ = std::max(ms, 0);
}

void SelectrixSim::SetCorruptAnswers(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetCorruptAnswers(on);
}

void SelectrixSim::SetDropEvery(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetDropEvery(n);
}

void SelectrixSim::SetExtraAnswerBytes(const std::string& extra) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetExtraAnswerBytes(extra);
}

void SelectrixSim::SetProgrammerBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerBusy(busy);
}

void SelectrixSim::SetProgrammerNeverReady(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetProgrammerNeverReady(on);
}

} // namespace sim

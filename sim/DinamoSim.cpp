// The DINAMO model behind the master side of a pseudo-terminal, served by one thread that
// sleeps in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/DinamoSim.h"

#include "platform/Tick.h"
#include "sim/PtyPeer.h"

#include <algorithm>
#include <termios.h>

namespace sim {

DinamoSim::DinamoSim(size_t recordLimit) : recordLimit_(recordLimit), pty_("DinamoSim", mutex_) {
    pty_.Start({[this](bool& wantOutput) {
                    return outgoing_.PollTimeoutMs(platform::MicroNow(), wantOutput);
                },
                [this](const char* data, size_t n) { HandleInput(data, n); },
                [this] { FlushDue(); }});
}

DinamoSim::~DinamoSim() {
    pty_.Stop();
}

void DinamoSim::HandleInput(const char* data, size_t n) {
    std::vector<DinamoFrameEvent> events;
    std::function<void(const DinamoFrameEvent&)> monitor;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        RecordBytes(received_, now, data, n, recordLimit_);
        receivedCount_ += n;
        std::string answer = model_.Feed(std::string(data, n), &events);
        outgoing_.Add(now + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(answer));
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
    bool wrote;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wrote = outgoing_.Flush(pty_.Master(), [this](uint64_t at, const char* data, size_t n) {
            RecordBytes(sent_, at, data, n, recordLimit_);
        });
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
    return WaitUntil(mutex_, changed_, timeoutMs, [&] { return receivedCount_ >= n; });
}

bool DinamoSim::WaitForFrames(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, changed_, timeoutMs, [&] { return frameCount_ >= n; });
}

void DinamoSim::SendUnsolicited(const std::string& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.Add(platform::MicroNow(), bytes);
    }
    pty_.Wake();
}

unsigned DinamoSim::Baud() {
    std::lock_guard<std::mutex> lock(mutex_);
    PeerLine line;
    if (pty_.Spare() < 0 || !ReadPeerLine(pty_.Spare(), line)) return 0;
    return line.baud;
}

bool DinamoSim::TwoStopBits() {
    std::lock_guard<std::mutex> lock(mutex_);
    termios tio{};
    if (pty_.Spare() < 0 || tcgetattr(pty_.Spare(), &tio) < 0) return false;
    return (tio.c_cflag & CSTOPB) != 0;
}

void DinamoSim::SetFrameMonitor(std::function<void(const DinamoFrameEvent&)> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    monitor_ = std::move(monitor);
}

} // namespace sim

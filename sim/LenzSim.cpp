// The Lenz model behind the master side of a pseudo-terminal, served by one thread that sleeps
// in poll() until the PC sends something, an answer falls due or a setter wakes it.
#include "sim/LenzSim.h"

#include "platform/Tick.h"

#include <algorithm>

namespace sim {

namespace {

// Records keep the newest bytes only, so a long session does not grow without end.
constexpr size_t kRecordLimit = 1 << 20;

} // namespace

LenzSim::LenzSim(uint8_t versionByte) : model_(versionByte), pty_("LenzSim", mutex_) {
    pty_.Start({[this](bool& wantOutput) {
                    return outgoing_.PollTimeoutMs(platform::MicroNow(), wantOutput);
                },
                [this](const char* data, size_t n) { HandleInput(data, n); },
                [this] { FlushDue(); }});
}

LenzSim::~LenzSim() {
    pty_.Stop();
}

void LenzSim::Queue(const std::vector<std::string>& messages, uint64_t delayUs) {
    uint64_t due = std::max(platform::MicroNow() + delayUs, lastDueUs_);
    for (const std::string& m : messages) {
        std::string bytes = garbage_ + m;
        if (!outgoing_.Room(bytes.size())) return;
        if (chunkGapMs_ <= 0) {
            outgoing_.Push(due, bytes);
            continue;
        }
        for (char c : bytes) {
            outgoing_.Push(due, std::string(1, c));
            due += static_cast<uint64_t>(chunkGapMs_) * 1000;
        }
    }
    // Answers never overtake each other, whatever delay each was given.
    lastDueUs_ = due;
}

void LenzSim::HandleInput(const char* data, size_t n) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RecordBytes(received_, platform::MicroNow(), data, n, kRecordLimit);
        Queue(model_.Feed(std::string(data, n)), static_cast<uint64_t>(answerDelayMs_) * 1000);
    }
    recordChanged_.notify_all();
}

void LenzSim::FlushDue() {
    bool wrote;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wrote = outgoing_.Flush(pty_.Master(), [this](uint64_t at, const char* data, size_t n) {
            RecordBytes(sent_, at, data, n, kRecordLimit);
        });
    }
    if (wrote) recordChanged_.notify_all();
}

void LenzSim::WithModel(const std::function<std::vector<std::string>(LenzModel&)>& fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Queue(fn(model_), 0);
    }
    pty_.Wake();
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
        if (!outgoing_.Room(bytes.size())) return;
        uint64_t due = std::max(platform::MicroNow(), lastDueUs_);
        outgoing_.Push(due, bytes);
        lastDueUs_ = due;
    }
    pty_.Wake();
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
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return received_.size() >= n; });
}

bool LenzSim::WaitForSent(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, recordChanged_, timeoutMs, [&] { return sent_.size() >= n; });
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

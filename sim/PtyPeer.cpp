#include "sim/PtyPeer.h"

#include "platform/Tick.h"

#include <algorithm>

namespace sim {

namespace {

// Records keep the newest bytes only, so a long-running simulator stays small.
constexpr size_t kMaxRecord = 1 << 20;

void Record(std::vector<LineByte>& record, uint64_t atUs, const char* data, size_t n) {
    if (record.size() + n > kMaxRecord) record.erase(record.begin(), record.begin() + n);
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
}

} // namespace

PtyPeer::PtyPeer(PeerModel& model, const char* name) : model_(model), pty_(name, mutex_) {
    pty_.Start({[this](bool& wantOutput) { return PollTimeoutMs(wantOutput); },
                [this](const char* data, size_t n) { HandleInput(data, n); },
                [this] { FlushDue(); }});
}

PtyPeer::~PtyPeer() {
    pty_.Stop();
}

void PtyPeer::Wake() {
    pty_.Wake();
}

void PtyPeer::HandleInput(const char* data, size_t n) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        Record(received_, now, data, n);
        Queue(model_.Feed(std::string(data, n), LineLocked().baud, now), now);
    }
    changed_.notify_all();
}

void PtyPeer::Queue(std::string bytes, uint64_t nowUs) {
    outgoing_.Add(nowUs + static_cast<uint64_t>(answerDelayMs_) * 1000, std::move(bytes));
}

int PtyPeer::PollTimeoutMs(bool& wantOutput) {
    uint64_t now = platform::MicroNow();
    uint64_t next = model_.NextDueUs();
    if (!outgoing_.Empty() && outgoing_.NextDueUs() <= now) {
        wantOutput = true;
        return -1;
    }
    if (!outgoing_.Empty())
        next = next == 0 ? outgoing_.NextDueUs() : std::min(next, outgoing_.NextDueUs());
    return PollTimeoutUntil(next, now);
}

void PtyPeer::FlushDue() {
    bool wrote;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t now = platform::MicroNow();
        uint64_t due = model_.NextDueUs();
        if (due != 0 && due <= now) Queue(model_.Advance(now), now);
        wrote = outgoing_.Flush(pty_.Master(), [this](uint64_t at, const char* data, size_t n) {
            Record(sent_, at, data, n);
        });
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
    return WaitUntil(mutex_, changed_, timeoutMs, [&] { return received_.size() >= n; });
}

bool PtyPeer::WaitForSent(size_t n, int timeoutMs) {
    return WaitUntil(mutex_, changed_, timeoutMs, [&] { return sent_.size() >= n; });
}

PeerLine PtyPeer::LineLocked() {
    PeerLine line;
    if (!ReadPeerLine(pty_.Master(), line)) return PeerLine{};
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

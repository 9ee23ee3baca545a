#include "sim/Transport.h"

#include "platform/Tick.h"
#include "sim/InProcessLine.h"
#include "sim/PtyLine.h"

#include <stdexcept>

namespace sim {

#ifdef _WIN32
// The pseudo-terminal line is Linux's; on Windows the simulators run on the
// in-process line only.
std::unique_ptr<LineEnd> OpenPtyLine(const std::string& who) {
    throw std::runtime_error(who + ": there are no pseudo-terminals on Windows; the simulator "
                                   "runs in the program (sim:NAME)");
}
#endif

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

size_t Outbox::Flush(const Write& write, uint64_t nowUs, const Sent& sent) {
    std::string due;
    for (const Entry& e : queue_) {
        if (e.dueUs > nowUs) break;
        due += e.bytes;
    }
    if (due.empty()) return 0;
    const size_t put = write(due.data(), due.size());
    if (put == 0) return 0; // full: the line says when there is room
    size_t left = put;
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
    return put;
}

// ---------------------------------------------------------------- the line and its thread

Transport::Transport(const std::string& who, size_t recordLimit, Wire wire)
    : line_(wire == Wire::Pty ? OpenPtyLine(who) : OpenInProcessLine(InProcessLineName(who))),
      received_(recordLimit), sent_(recordLimit) {}

Transport::~Transport() {
    Stop();
}

void Transport::Start() {
    thread_ = std::thread([this] { Serve(); });
}

void Transport::Stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    Wake();
    thread_.join();
}

void Transport::Wake() {
    line_->Wake();
}

void Transport::Serve() {
    char buf[4096];
    for (;;) {
        bool wantOutput = false;
        int timeout;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            timeout = PollTimeoutMs(wantOutput);
        }
        if (!line_->Wait(timeout, wantOutput)) return; // nothing sensible left to serve
        const size_t got = line_->Read(buf, sizeof buf);
        if (got > 0) HandleInput(buf, got);
        FlushDue();
    }
}

int Transport::PollTimeoutMs(bool& wantOutput) {
    uint64_t now = platform::MicroNow();
    int timeout = outgoing_.PollTimeoutMs(now, wantOutput);
    if (wantOutput) return timeout;
    uint64_t next = NextStepUs();
    if (!outgoing_.Empty())
        next = next == 0 ? outgoing_.NextDueUs() : std::min(next, outgoing_.NextDueUs());
    return PollTimeoutUntil(next, now);
}

void Transport::HandleInput(const char* data, size_t n) {
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

void Transport::FlushDue() {
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
        auto write = [this](const char* data, size_t n) { return line_->Write(data, n); };
        while (outgoing_.Flush(write, now, record) > 0) {
            wrote = true;
            now = platform::MicroNow();
            Sent(now); // may queue more that is due at once
        }
    }
    if (wrote) changed_.notify_all();
}

// ---------------------------------------------------------------- what the simulator reaches

void Transport::Answer(const std::string& bytes, uint64_t nowUs) {
    if (bytes.empty()) return;
    outgoing_.Queue(bytes, nowUs + answerDelayUs_, 0, Line().baud);
}

std::vector<LineByte> Transport::ReceivedBytes() {
    return Locked([&] { return received_.Entries(); });
}

std::vector<LineByte> Transport::SentBytes() {
    return Locked([&] { return sent_.Entries(); });
}

void Transport::ClearRecords() {
    Locked([&] {
        received_.Clear();
        sent_.Clear();
        ClearOwnRecords();
    });
}

bool Transport::WaitForReceived(size_t n, int timeoutMs) {
    return WaitFor(timeoutMs, [&] { return received_.Count() >= n; });
}

bool Transport::WaitForSent(size_t n, int timeoutMs) {
    return WaitFor(timeoutMs, [&] { return sent_.Count() >= n; });
}

void Transport::SendUnsolicited(const std::string& bytes) {
    bool queued =
        Locked([&] { return outgoing_.Queue(bytes, platform::MicroNow(), 0, Line().baud); });
    if (queued) Wake();
}

void Transport::SetLineTap(LineTap tap) {
    Locked([&] { tap_ = std::move(tap); });
}

void Transport::SetAnswerDelayMs(int ms) {
    Locked([&] { answerDelayUs_ = static_cast<uint64_t>(std::max(ms, 0)) * 1000; });
}

} // namespace sim

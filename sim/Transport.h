// The transport every simulator runs on: one thread that sleeps until the PC sends something, an
// answer or a timed step falls due or a setter wakes it; the records of what crossed the line;
// the answers waiting for their time. A simulator derives from Transport and gives it its model
// through the hooks below.
//
// The line itself is one of two ends (LineEnd below):
// - a pseudo-terminal (sim/PtyLine.h): the code under test opens DevicePath() (/dev/pts/N) like
//   any serial device and goes through the real termios path. The line settings are read back
//   from the master side: a pty keeps the rate, the stop bits and RTS/CTS, but forces 8 data
//   bits without parity, so parity cannot be seen; modem lines and break do not cross it.
// - an in-process line (sim/InProcessLine.h, over serial/local/LocalLine.h): DevicePath() is a
//   name such as "sim:selectrix" that a port of this program opens; no operating-system device
//   is involved, so it works wherever the program runs. The settings are those the port handed
//   over, with the same three fields a pty shows.
// Either way the model sees the same bytes at the same times: what is timed (answer delays,
// per-byte gaps, steps) is timed here, not by the line.
#pragma once

#include "sim/Wire.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim {

// One byte as it crossed the line, stamped with platform::MicroNow() (bytes that crossed in one
// chunk share their stamp).
struct LineByte {
    uint64_t atUs;
    uint8_t byte;
    // The line rate: as the PC had set it (received), or the rate the simulator sent at; 0 when
    // unknown.
    unsigned baud = 0;
    // Received: false when the simulator, listening at a rate of its own, took it for noise.
    bool heard = true;
};

// What the PC set on the line, as the simulator can see it.
struct LineSettings {
    unsigned baud = 0; // bits per second, 0 when unknown
    bool twoStopBits = false;
    bool rtsCts = false;
};

// The line end a transport serves. Wait() and Wake() may meet on two threads; the rest runs on
// the transport's thread only.
class LineEnd {
  public:
    virtual ~LineEnd() = default;
    // What the code under test opens.
    virtual const std::string& Name() const = 0;
    virtual LineSettings Settings() const = 0;
    // Blocks until input may be waiting, (with `wantOutput`) there may be room for output, Wake()
    // was called, or `timeoutMs` passed (-1: no limit). False when the line cannot be waited on
    // any more.
    virtual bool Wait(int timeoutMs, bool wantOutput) = 0;
    // Non-blocking: what is there now (0 for nothing), and what the line took.
    virtual size_t Read(char* buffer, size_t count) = 0;
    virtual size_t Write(const char* data, size_t count) = 0;
    virtual void Wake() = 0;
};

// The wait's timeout until `dueUs` (MicroNow time): -1 for 0 (never), 0 when already due, else
// milliseconds rounded up so nothing happens before its time.
int PollTimeoutUntil(uint64_t dueUs, uint64_t nowUs);

// Blocks (no spinning) on `changed` until `done` holds or `timeoutMs` passed; `done` runs with
// `mutex` held.
template <class Done>
bool WaitUntil(std::mutex& mutex, std::condition_variable& changed, int timeoutMs, Done done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), done);
}

// Records keep this many entries unless a simulator is given another limit, so a long-running
// simulator stays small.
constexpr size_t kRecordLimit = 1 << 20;

// Entries in order, the newest `limit` kept (0: all); Count() goes on counting past the limit.
template <class Entry> class Record {
  public:
    explicit Record(size_t limit = kRecordLimit) : limit_(limit) {}

    void Add(Entry entry) {
        entries_.push_back(std::move(entry));
        ++count_;
        if (limit_ > 0 && entries_.size() > limit_) entries_.pop_front();
    }
    std::vector<Entry> Entries() const { return {entries_.begin(), entries_.end()}; }
    size_t Count() const { return count_; } // since the last Clear()
    void Clear() {
        entries_.clear();
        count_ = 0;
    }

  private:
    size_t limit_;
    std::deque<Entry> entries_;
    size_t count_ = 0;
};

// Answers waiting for their time, oldest first. An answer never overtakes one queued before it,
// whatever time each was given. Not locked itself: the transport's mutex guards it.
class Outbox {
  public:
    // Unsent answers beyond this are lost, as on a line whose receiver is not listening.
    static constexpr size_t kMaxBytes = 64 * 1024;

    bool Room(size_t n) const { return bytes_ + n <= kMaxBytes; }
    // Queues `bytes` to go at `earliestUs`, or once what was queued before has gone if that is
    // later. With `gapUs`, one byte at a time, each that long after the one before (the first
    // byte of the next answer too). `baud` is what the record says it went at. False (nothing
    // queued) when `bytes` is empty or there is no room for all of it.
    bool Queue(const std::string& bytes, uint64_t earliestUs, uint64_t gapUs = 0,
               unsigned baud = 0);

    bool Empty() const { return queue_.empty(); }
    size_t Bytes() const { return bytes_; }
    uint64_t NextDueUs() const { return queue_.empty() ? 0 : queue_.front().dueUs; }
    // -1 with wantOutput set when the front is due (wait for room), -1 when empty, else the
    // time until the front is due.
    int PollTimeoutMs(uint64_t nowUs, bool& wantOutput) const;

    // Puts bytes on the line without blocking; returns how many it took.
    using Write = std::function<size_t(const char* data, size_t n)>;
    using Sent = std::function<void(uint64_t atUs, const char* data, size_t n, unsigned baud)>;
    // Writes what is due by `nowUs` in one call of `write` and hands every piece written to
    // `sent`; returns the bytes written. A full line keeps the rest until there is room.
    size_t Flush(const Write& write, uint64_t nowUs, const Sent& sent);

  private:
    struct Entry {
        uint64_t dueUs;
        std::string bytes;
        unsigned baud;
    };
    std::deque<Entry> queue_;
    size_t bytes_ = 0;
    uint64_t nextFreeUs_ = 0; // the earliest the next byte may go
};

class Transport {
  public:
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // What the code under test opens: the slave side as an absolute path (e.g. /dev/pts/7), or
    // the in-process line's name (e.g. sim:selectrix), for TComPort::SetPort.
    const std::string& DevicePath() const { return line_->Name(); }
    LineSettings Line() const { return line_->Settings(); }

    // Every byte received from the PC, and every byte sent to it, in order.
    std::vector<LineByte> ReceivedBytes();
    std::vector<LineByte> SentBytes();
    // Clears both, and whatever else the simulator records of the exchange.
    void ClearRecords();
    // Block (no spinning) until at least n bytes were received / sent since the last clear, or
    // the timeout passed.
    bool WaitForReceived(size_t n, int timeoutMs);
    bool WaitForSent(size_t n, int timeoutMs);

    // Puts bytes on the line towards the PC that answer nothing (stray, late or forged bytes),
    // behind whatever answers are waiting.
    void SendUnsolicited(const std::string& bytes);
    // Fault switch: every answer to the PC leaves this much later.
    void SetAnswerDelayMs(int ms);

    // Sees every chunk that crosses the line as it crosses: `fromPc` for what the PC sent,
    // else what went to it. Runs on the transport's thread with its lock held, so it must be
    // quick and must not call the simulator. An empty tap sees nothing.
    using LineTap = std::function<void(bool fromPc, uint64_t atUs, const char* data, size_t n)>;
    void SetLineTap(LineTap tap);

  protected:
    // Opens the line end; throws std::runtime_error ("who: call: reason") when it cannot, with
    // nothing left open. `who` is the class ("SelectrixSim"); an in-process line is named after
    // it ("sim:selectrix", with "-2" and on while one of that name runs). The records keep the
    // newest `recordLimit` bytes (0: all).
    Transport(const std::string& who, size_t recordLimit, Wire wire = Wire::Pty);
    // The simulator calls Start() at the end of its constructor, once its state is ready, and
    // Stop() first thing in its destructor, before its state goes.
    virtual ~Transport();
    void Start();
    // Ends and joins the thread; the hooks are not called after it returns.
    void Stop();
    // Makes the thread look at its timeouts and queues again, after a change from outside.
    void Wake();

    // The hooks, run on the transport's thread with the mutex held.
    // Bytes from the PC (already recorded), with the line as the PC has set it. Returns what to
    // run once the mutex is released (a monitor), or nothing.
    virtual std::function<void()> Input(const std::string& bytes, const LineSettings& line,
                                        uint64_t nowUs) = 0;
    // Whether the simulator listens at the line's rate (what the record calls heard).
    virtual bool Hears(const LineSettings&) const { return true; }
    // When a timed step of the model is due (MicroNow time), 0 for none; Step() runs it.
    virtual uint64_t NextStepUs() const { return 0; }
    virtual void Step(uint64_t) {}
    // After bytes went out.
    virtual void Sent(uint64_t) {}
    // ClearRecords(): clears what the simulator records of its own.
    virtual void ClearOwnRecords() {}

    // Runs `fn` with the transport's mutex held (it guards the model and everything the hooks
    // touch) and returns its result.
    template <class Fn> auto Locked(Fn fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn();
    }
    // Blocks (no spinning) until `done` holds (checked with the mutex held after every
    // exchange) or the timeout passed.
    template <class Done> bool WaitFor(int timeoutMs, Done done) {
        return WaitUntil(mutex_, changed_, timeoutMs, done);
    }

    // With the mutex held: queue an answer to the PC after the answer delay, at the line's rate.
    void Answer(const std::string& bytes, uint64_t nowUs);
    Outbox& Out() { return outgoing_; }
    uint64_t AnswerDelayUs() const { return answerDelayUs_; }

  private:
    void Serve();
    int PollTimeoutMs(bool& wantOutput); // mutex held
    void HandleInput(const char* data, size_t n);
    void FlushDue();

    std::unique_ptr<LineEnd> line_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Record<LineByte> received_, sent_;
    LineTap tap_;
    Outbox outgoing_;
    uint64_t answerDelayUs_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// A simulator: its model behind the transport. Every accessor of the model runs under the
// transport's mutex.
template <class Model> class Simulator : public Transport {
  protected:
    template <class... Args>
    Simulator(const std::string& who, size_t recordLimit, Wire wire, Args&&... modelArgs)
        : Transport(who, recordLimit, wire), model_(std::forward<Args>(modelArgs)...) {}

    // Calls the model's member function `F` with the mutex held and returns its result.
    template <auto F, class... Args> auto Call(Args&&... args) {
        return Locked([&] { return (model_.*F)(std::forward<Args>(args)...); });
    }

    Model model_;
};

// What a simulator's Input() returns to hand `events` to `monitor` outside the lock: nothing
// when there is no monitor or nothing to tell.
template <class Event>
std::function<void()> ForMonitor(const std::function<void(const Event&)>& monitor,
                                 std::vector<Event> events) {
    if (!monitor || events.empty()) return {};
    return [monitor, events = std::move(events)] {
        for (const Event& e : events)
            monitor(e);
    };
}

} // namespace sim

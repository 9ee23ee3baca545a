// The pseudo-terminal side every simulator shares: the master it serves, a slave descriptor of
// its own, a wake-up pipe and the one thread that sleeps in poll() on them. What a simulator
// does with the bytes (its model, its records, when its answers fall due) stays with it and is
// reached through PtyHooks.
//
// The pty is raw from the start, so nothing the code under test does before configuring the
// port may echo or translate a byte. Keeping a slave descriptor open lets the code under test
// close and re-open Path() as often as it likes without the master hanging up.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

// What the serving thread asks of its simulator. Each hook runs on that thread.
struct PtyHooks {
    // With the simulator's mutex held: how long poll() may sleep (-1: until woken), and whether
    // it should also wake when the master has room to write.
    std::function<int(bool& wantOutput)> pollTimeoutMs;
    // Bytes from the PC, mutex not held.
    std::function<void(const char* data, size_t n)> input;
    // After every wake-up, mutex not held: send what has fallen due.
    std::function<void()> due;
};

class PtyEndpoint {
  public:
    // Opens the pty; throws std::runtime_error ("who: call: reason") when it cannot, with
    // nothing left open. `mutex` is the simulator's: the thread holds it around
    // hooks.pollTimeoutMs and while it replaces the spare descriptor.
    PtyEndpoint(const std::string& who, std::mutex& mutex);
    ~PtyEndpoint(); // Stop(), then closes every descriptor
    PtyEndpoint(const PtyEndpoint&) = delete;
    PtyEndpoint& operator=(const PtyEndpoint&) = delete;

    // Starts the serving thread (once, after the hooks' state is ready).
    void Start(PtyHooks hooks);
    // Ends and joins the thread; the hooks are not called after it returns.
    void Stop();
    // Makes the thread look at its timeouts and queues again.
    void Wake();

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    // Our own slave descriptor (-1 for a moment after a hang-up); read it under the mutex.
    int Spare() const { return spare_; }

  private:
    void Serve();
    bool ReopenSpare();

    std::mutex& mutex_;
    int master_ = -1;
    int spare_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    PtyHooks hooks_;
    bool stop_ = false; // under mutex_
    std::thread thread_;
};

// poll()'s timeout until `dueUs` (MicroNow time): -1 for 0 (never), 0 when already due, else
// milliseconds rounded up so nothing happens before its time.
int PollTimeoutUntil(uint64_t dueUs, uint64_t nowUs);

// Answers waiting for their time, oldest first. Not locked itself: the simulator's mutex
// guards it.
class PtyOutbox {
  public:
    // Unread answers beyond this are lost, as on a line whose receiver is not listening.
    static constexpr size_t kMaxBytes = 64 * 1024;

    bool Room(size_t n) const { return bytes_ + n <= kMaxBytes; }
    // Queues `bytes` for `dueUs`; false (nothing queued) when empty or there is no room.
    bool Add(uint64_t dueUs, std::string bytes);
    // Queues without looking for room (after Room() said yes for the whole of it).
    void Push(uint64_t dueUs, std::string bytes);

    bool Empty() const { return queue_.empty(); }
    uint64_t NextDueUs() const { return queue_.empty() ? 0 : queue_.front().dueUs; }
    // -1 with wantOutput set when the front is due (poll for room), -1 when empty, else the
    // time until the front is due.
    int PollTimeoutMs(uint64_t nowUs, bool& wantOutput) const;
    // Writes what is due to `fd` (non-blocking) and hands every piece written to `sent` with
    // the time it went; true when anything went. A full line keeps the rest for POLLOUT.
    bool Flush(int fd, const std::function<void(uint64_t atUs, const char* data, size_t n)>& sent);

  private:
    struct Entry {
        uint64_t dueUs;
        std::string bytes;
    };
    std::deque<Entry> queue_;
    size_t bytes_ = 0;
};

// Appends bytes to a record of {atUs, byte} entries, keeping the newest `limit` (0: all).
template <class Byte>
void RecordBytes(std::deque<Byte>& record, uint64_t atUs, const char* data, size_t n,
                 size_t limit) {
    for (size_t i = 0; i < n; ++i)
        record.push_back({atUs, static_cast<uint8_t>(data[i])});
    if (limit > 0) {
        while (record.size() > limit)
            record.pop_front();
    }
}

// Blocks (no spinning) on `changed` until `done` holds or `timeoutMs` passed; `done` runs with
// `mutex` held.
template <class Done>
bool WaitUntil(std::mutex& mutex, std::condition_variable& changed, int timeoutMs, Done done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)), done);
}

} // namespace sim

// Devices and helpers for the event-thread tests: a pseudo-terminal pair, a
// scripted device that reports whatever events a test pushes (modem lines,
// line errors, failing waits), and a wrapper that counts the waits of a
// real device.
#pragma once

#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "serial/PosixComDevice.h"

#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace comthread_test {

using namespace serial;

// The owner's message loop: serves the main-thread queue until `done` holds
// or `ms` passed. Returns whether `done` held.
inline bool ServeUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
    auto deadline = platform::Deadline::After(ms);
    auto& queue = platform::MainQueue();
    for (;;) {
        queue.Serve();
        if (done()) return true;
        if (deadline.Reached()) return false;
        queue.WaitForWork(20);
    }
}

// Serves the queue for `ms` milliseconds.
inline void ServeFor(uint32_t ms) {
    ServeUntil([] { return false; }, ms);
}

// A pseudo-terminal pair: the port opens `SlavePath()`, the test plays the
// peer on the master side.
class PtyPair {
  public:
    PtyPair() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
        path_ = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return path_; }
    int Master() const { return master_; }
    void Write(const std::string& bytes) {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("peer write failed");
    }
    // What the port sent, waiting up to `ms` for the first byte.
    std::string Read(int ms = 1000) {
        std::string got;
        pollfd p{master_, POLLIN, 0};
        while (::poll(&p, 1, got.empty() ? ms : 50) > 0) {
            char buf[256];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    std::string path_;
};

// A real device whose event waits are counted and whose masks are recorded.
class CountingDevice : public PosixComDevice {
  public:
    struct Counts {
        std::atomic<int> waits{0};
        std::atomic<int> waitErrors{0};
        std::mutex mutex;
        std::vector<uint32_t> masks;  // handed to SetCommMask
        std::vector<uint32_t> purges; // handed to Purge
        std::vector<uint32_t> wakeups;
        int inQueueAtClose = -1; // bytes the kernel still held when the device closed
    };
    explicit CountingDevice(std::shared_ptr<Counts> counts) : counts_(std::move(counts)) {}

    int SetCommMask(uint32_t mask) override {
        {
            std::lock_guard lock(counts_->mutex);
            counts_->masks.push_back(mask);
        }
        return PosixComDevice::SetCommMask(mask);
    }
    int WaitCommEvent(uint32_t& mask, int stopFd) override {
        int err = PosixComDevice::WaitCommEvent(mask, stopFd);
        ++counts_->waits;
        if (err) ++counts_->waitErrors;
        std::lock_guard lock(counts_->mutex);
        counts_->wakeups.push_back(mask);
        return err;
    }
    int Purge(uint32_t flags) override {
        {
            std::lock_guard lock(counts_->mutex);
            counts_->purges.push_back(flags);
        }
        return PosixComDevice::Purge(flags);
    }
    void Close() override {
        int queued = -1;
        if (Fd() >= 0 && ::ioctl(Fd(), TIOCINQ, &queued) != 0) queued = -1;
        {
            std::lock_guard lock(counts_->mutex);
            counts_->inQueueAtClose = queued;
        }
        PosixComDevice::Close();
    }

  private:
    std::shared_ptr<Counts> counts_;
};

// A device that only pretends: a test pushes event masks, sets the modem
// lines, the line errors and the input count, and can fail a wait. The line
// state lives in a shared Line so it survives a re-open.
class ScriptedEventDevice : public ComDevice {
  public:
    struct Line {
        std::mutex mutex;
        std::deque<uint32_t> wakeups; // masks still to report
        std::deque<int> waitFailures; // errno for the next waits
        uint32_t modem = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
        uint32_t errors = 0; // CE_* bits, cleared by ClearError
        uint32_t inQueue = 0;
        int modemFailure = 0; // errno for ModemStatus
        std::vector<uint32_t> masks;
        std::vector<uint32_t> purges;
        int opens = 0;
        int eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~Line() { ::close(eventFd); }

        void Push(uint32_t mask) {
            {
                std::lock_guard lock(mutex);
                wakeups.push_back(mask);
            }
            Kick();
        }
        void FailWait(int err) {
            {
                std::lock_guard lock(mutex);
                waitFailures.push_back(err);
            }
            Kick();
        }
        void Kick() {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(eventFd, &one, sizeof one);
        }
    };

    explicit ScriptedEventDevice(std::shared_ptr<Line> line) : line_(std::move(line)) {}

    int Open(const std::string&) override {
        std::lock_guard lock(line_->mutex);
        ++line_->opens;
        open_ = true;
        return 0;
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    int SetState(const Dcb&) override { return 0; }
    int SetTimeouts(const CommTimeouts&) override { return 0; }
    int SetupQueues(int32_t, int32_t) override { return 0; }
    int ReadSome(void*, size_t, size_t& done) override {
        done = 0;
        return 0;
    }
    int WriteSome(const void*, size_t count, size_t& done) override {
        done = count;
        return 0;
    }
    int WaitReadable(int, bool& ready) override {
        ready = true;
        return 0;
    }
    int WaitWritable(int, bool& ready) override {
        ready = true;
        return 0;
    }
    int OutputPending(uint32_t& count) override {
        count = 0;
        return 0;
    }
    int ClearError(ComStatus& status) override {
        std::lock_guard lock(line_->mutex);
        status = ComStatus{};
        status.errors = line_->errors;
        status.inQueue = line_->inQueue;
        line_->errors = 0;
        return 0;
    }
    int ModemStatus(uint32_t& msBits) override {
        std::lock_guard lock(line_->mutex);
        msBits = line_->modem;
        return line_->modemFailure;
    }
    int Purge(uint32_t flags) override {
        std::lock_guard lock(line_->mutex);
        line_->purges.push_back(flags);
        return 0;
    }
    int EscapeFunction(Escape) override { return 0; }

    int SetCommMask(uint32_t mask) override {
        {
            std::lock_guard lock(line_->mutex);
            line_->masks.push_back(mask);
            mask_ = mask;
        }
        line_->Kick();
        return 0;
    }
    // Reports the next pushed wake-up that has a masked bit (drops others, as
    // a driver never reports an unmasked event), or the next failure.
    int WaitCommEvent(uint32_t& mask, int stopFd) override {
        mask = 0;
        for (;;) {
            {
                std::lock_guard lock(line_->mutex);
                if (!line_->waitFailures.empty()) {
                    int err = line_->waitFailures.front();
                    line_->waitFailures.pop_front();
                    return err;
                }
                while (!line_->wakeups.empty()) {
                    uint32_t m = line_->wakeups.front() & mask_;
                    line_->wakeups.pop_front();
                    if (m) {
                        mask = m;
                        return 0;
                    }
                }
            }
            pollfd fds[2] = {{stopFd, POLLIN, 0}, {line_->eventFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return errno;
            if (fds[0].revents) return 0;
            uint64_t n;
            [[maybe_unused]] ssize_t r = ::read(line_->eventFd, &n, sizeof n);
        }
    }

  private:
    std::shared_ptr<Line> line_;
    bool open_ = false;
    uint32_t mask_ = 0; // guarded by line_->mutex
};

} // namespace comthread_test

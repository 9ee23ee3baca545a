// Helpers for the event-thread tests: the owner's message loop, and a real
// device whose event waits are counted.
#pragma once

#include "platform/Host.h"
#include "platform/Tick.h"
#include "serial/CPort.h"
#include "serial/posix/PosixComDevice.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/ioctl.h>
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

// Waits, without serving, until a delivery is queued for the owner.
inline bool WaitQueued(uint32_t ms = 5000) {
    auto deadline = platform::Deadline::After(ms);
    auto& queue = platform::MainQueue();
    while (!queue.HasWork()) {
        if (deadline.Reached()) return false;
        queue.WaitForWork(deadline.Remaining());
    }
    return true;
}

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

} // namespace comthread_test

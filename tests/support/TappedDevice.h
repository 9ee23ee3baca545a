// The real termios device with a tap between it and the port: it counts the
// event waits and records masks, purges and wake-ups, and makes writes and
// purges fail with EIO at a moment the test chooses. For what only a real
// line shows (the tester against its simulator, the event thread on a pty);
// everything else goes to the scripted device.
#pragma once

#include "serial/CPort.h"
#include "serial/posix/PosixComDevice.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <sys/ioctl.h>
#include <vector>

namespace testsupport {

struct LineTap {
    // --- faults: writes fail while `writesToFail` is above 0 (each failed
    // write counts one down; -1 fails until set back to 0)
    std::atomic<int> writesToFail{0};
    std::atomic<bool> purgeFails{false};

    // --- what the port did
    std::atomic<int> waits{0};
    std::atomic<int> waitErrors{0};
    std::mutex mutex;
    std::vector<uint32_t> masks;  // handed to SetCommMask
    std::vector<uint32_t> purges; // handed to Purge
    std::vector<uint32_t> wakeups;
    int inQueueAtClose = -1; // bytes the kernel still held when the device closed
};

class TappedDevice : public serial::PosixComDevice {
  public:
    explicit TappedDevice(std::shared_ptr<LineTap> tap) : tap_(std::move(tap)) {}

    int WriteSome(const void* buffer, size_t count, size_t& done) override {
        int left = tap_->writesToFail.load();
        if (left != 0) {
            if (left > 0) tap_->writesToFail.store(left - 1);
            done = 0;
            return EIO;
        }
        return PosixComDevice::WriteSome(buffer, count, done);
    }
    int SetCommMask(uint32_t mask) override {
        {
            std::lock_guard lock(tap_->mutex);
            tap_->masks.push_back(mask);
        }
        return PosixComDevice::SetCommMask(mask);
    }
    int WaitCommEvent(uint32_t& mask, int stopFd) override {
        int err = PosixComDevice::WaitCommEvent(mask, stopFd);
        ++tap_->waits;
        if (err) ++tap_->waitErrors;
        std::lock_guard lock(tap_->mutex);
        tap_->wakeups.push_back(mask);
        return err;
    }
    int Purge(uint32_t flags) override {
        {
            std::lock_guard lock(tap_->mutex);
            tap_->purges.push_back(flags);
        }
        if (tap_->purgeFails) return EIO;
        return PosixComDevice::Purge(flags);
    }
    void Close() override {
        int queued = -1;
        if (Fd() >= 0 && ::ioctl(Fd(), TIOCINQ, &queued) != 0) queued = -1;
        {
            std::lock_guard lock(tap_->mutex);
            tap_->inQueueAtClose = queued;
        }
        PosixComDevice::Close();
    }

  private:
    std::shared_ptr<LineTap> tap_;
};

inline serial::TCustomComPort::DeviceFactory TappedFactory(std::shared_ptr<LineTap> tap) {
    return [tap] { return std::make_unique<TappedDevice>(tap); };
}

} // namespace testsupport

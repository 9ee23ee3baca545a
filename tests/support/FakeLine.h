// A device double for the component's model tests: it records what the port
// hands to the driver (writes, settings calls, purges, escape functions) and
// lets a test queue input and hold transmission for CTS. Its state outlives
// the device, so a test can look at it after the port has closed.
#pragma once

#include "platform/Tick.h"
#include "serial/CPort.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cs_test {

struct FakeLine {
    std::mutex m;
    std::condition_variable cv;
    std::string written;
    std::string input;
    std::vector<serial::Escape> escapes;
    std::vector<uint32_t> purges;
    std::vector<uint32_t> escapeTicks; // tick counter at each escape function
    int setStateCalls = 0;
    int setTimeoutsCalls = 0;
    int setupQueuesCalls = 0;
    serial::Dcb lastDcb;
    serial::CommTimeouts lastTimeouts;
    bool ctsHold = false;
    // Answer bytes queued as input for each write (may be empty).
    std::function<std::string(const std::string&)> responder;
    // Runs each time the port looks at the input queue, before it does (on
    // the port's thread, without the line's lock: it may Feed).
    std::function<void()> onQueueLook;

    void Feed(const std::string& bytes) {
        {
            std::lock_guard lock(m);
            input += bytes;
        }
        cv.notify_all();
    }
    std::string Written() {
        std::lock_guard lock(m);
        return written;
    }
};

class FakeDevice : public serial::ComDevice {
  public:
    explicit FakeDevice(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

    int Open(const std::string&) override {
        open_ = true;
        return 0;
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    int SetState(const serial::Dcb& dcb) override {
        std::lock_guard lock(line_->m);
        ++line_->setStateCalls;
        line_->lastDcb = dcb;
        return 0;
    }
    int SetTimeouts(const serial::CommTimeouts& t) override {
        std::lock_guard lock(line_->m);
        ++line_->setTimeoutsCalls;
        line_->lastTimeouts = t;
        return 0;
    }
    int SetupQueues(int32_t, int32_t) override {
        std::lock_guard lock(line_->m);
        ++line_->setupQueuesCalls;
        return 0;
    }
    int ReadSome(void* buffer, size_t count, size_t& done) override {
        std::lock_guard lock(line_->m);
        done = std::min(count, line_->input.size());
        std::memcpy(buffer, line_->input.data(), done);
        line_->input.erase(0, done);
        return 0;
    }
    int WriteSome(const void* buffer, size_t count, size_t& done) override {
        std::string bytes(static_cast<const char*>(buffer), count);
        std::function<std::string(const std::string&)> responder;
        {
            std::lock_guard lock(line_->m);
            line_->written += bytes;
            responder = line_->responder;
        }
        if (responder) line_->Feed(responder(bytes));
        done = count;
        return 0;
    }
    int WaitReadable(int timeoutMs, bool& ready) override {
        std::unique_lock lock(line_->m);
        auto has = [&] { return !line_->input.empty(); };
        if (timeoutMs < 0)
            line_->cv.wait(lock, has);
        else
            line_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), has);
        ready = has();
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
    int ClearError(serial::ComStatus& status) override {
        if (line_->onQueueLook) line_->onQueueLook();
        std::lock_guard lock(line_->m);
        status = {};
        status.inQueue = static_cast<uint32_t>(line_->input.size());
        status.holdFlags = line_->ctsHold ? 0x01 : 0x00;
        return 0;
    }
    int ModemStatus(uint32_t& bits) override {
        bits = serial::MS_CTS_ON | serial::MS_DSR_ON;
        return 0;
    }
    int Purge(uint32_t flags) override {
        std::lock_guard lock(line_->m);
        line_->purges.push_back(flags);
        if (flags & serial::PURGE_RXCLEAR) line_->input.clear();
        return 0;
    }
    int EscapeFunction(serial::Escape fn) override {
        std::lock_guard lock(line_->m);
        line_->escapes.push_back(fn);
        line_->escapeTicks.push_back(platform::GetTickCount());
        return 0;
    }
    int SetCommMask(uint32_t) override { return 0; }
    int WaitCommEvent(uint32_t& mask, platform::StopHandle) override {
        mask = 0;
        return 0;
    }

  private:
    std::shared_ptr<FakeLine> line_;
    bool open_ = false;
};

// Installs a FakeDevice on `port`; every open gets a device on the same line.
inline std::shared_ptr<FakeLine> InstallFakeLine(serial::TCustomComPort& port) {
    auto line = std::make_shared<FakeLine>();
    port.SetDeviceFactory([line] { return std::make_unique<FakeDevice>(line); });
    return line;
}

} // namespace cs_test

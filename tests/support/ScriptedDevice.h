// A scripted ComDevice for what a pseudo-terminal cannot show: modem lines,
// hold flags, line errors, short or held writes, and any call failing with
// any errno. Every call is recorded. The component's tests use it as a line:
// what the port wrote, input to feed, answers to each write (`responder`).
//
// The test keeps the DeviceScript; each device the port opens (one per
// OpenPort) works on it, so the script outlives the device:
//
//   auto script = std::make_shared<DeviceScript>();
//   port.SetDeviceFactory(ScriptedFactory(script));
//   script->Fail("ClearError", EIO);
//
// or, for a port opened by the component, `auto line = InstallScript(com);`.
//
// Thread-safe: an event thread may wait in WaitCommEvent while the test
// feeds input or changes lines.
#pragma once

#include "platform/Tick.h"
#include "platform/Stop.h"
#include "serial/CPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct DeviceScript {
    DeviceScript() = default;
    DeviceScript(const DeviceScript&) = delete;
    DeviceScript& operator=(const DeviceScript&) = delete;

    // --- what the device shows (change under `mutex`, or with the helpers)
    std::string input;   // bytes waiting to be read
    std::string written; // every byte accepted by WriteSome
    uint32_t modemBits = serial::MS_CTS_ON | serial::MS_DSR_ON | serial::MS_RLSD_ON;
    uint8_t holdFlags = 0;        // reported by ClearError
    uint32_t errors = 0;          // CE_* bits, cleared by the next ClearError
    uint32_t outQueue = 0;        // bytes "not yet sent" (OutputPending, ClearError)
    size_t writeChunk = SIZE_MAX; // most bytes one WriteSome takes; 0 holds output
    bool canWrite = true;         // WaitWritable's answer (false: waits its time-out)
    uint32_t pendingEvents = 0;   // EV_* bits the next WaitCommEvent returns
    bool hungUp = false;          // WaitReadable: readable at once, yet no byte comes

    // --- what the port did
    std::vector<std::string> calls; // call names in order ("Open", "SetState", ...)
    std::vector<std::string> paths; // the path of every Open
    std::vector<serial::Dcb> states;        // every SetState
    std::vector<serial::CommTimeouts> timeouts;
    std::vector<std::pair<int32_t, int32_t>> queues;
    std::vector<uint32_t> purges;
    std::vector<serial::Escape> escapes;
    std::vector<uint32_t> escapeTicks; // tick counter at each escape function
    std::vector<uint32_t> masks; // every SetCommMask
    bool isOpen = false;

    // --- failures: a call named here returns the errno (every time, until Heal)
    std::map<std::string, int> failures;
    // Runs at the start of every call with its name (the script's lock is
    // held: use the fields directly, not the locking helpers).
    std::function<void(const std::string&)> onCall;
    // Answer bytes queued as input for each accepted write (may be empty);
    // runs without the lock.
    std::function<std::string(const std::string&)> responder;
    // Runs each time the port looks at the input queue (ClearError), before
    // it does; without the lock, so it may Feed.
    std::function<void()> onQueueLook;

    std::mutex mutex;
    std::condition_variable changed;
    platform::StopSignal eventSignal; // set while WaitCommEvent should look at pendingEvents

    void Fail(const std::string& call, int err) {
        std::lock_guard lock(mutex);
        failures[call] = err;
    }
    void Heal(const std::string& call) {
        std::lock_guard lock(mutex);
        failures.erase(call);
    }
    void HealAll() {
        std::lock_guard lock(mutex);
        failures.clear();
    }
    void Feed(const std::string& bytes) {
        {
            std::lock_guard lock(mutex);
            input += bytes;
        }
        changed.notify_all();
    }
    void SetModemBits(uint32_t bits) {
        std::lock_guard lock(mutex);
        modemBits = bits;
    }
    void PostEvents(uint32_t evBits) {
        {
            std::lock_guard lock(mutex);
            pendingEvents |= evBits;
        }
        eventSignal.Signal();
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
    size_t CountOf(const std::string& call) {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
    }
    std::string Written() {
        std::lock_guard lock(mutex);
        return written;
    }
    void ClearRecord() {
        std::lock_guard lock(mutex);
        calls.clear();
        paths.clear();
        states.clear();
        timeouts.clear();
        queues.clear();
        purges.clear();
        escapes.clear();
        escapeTicks.clear();
        masks.clear();
        written.clear();
    }
};

class ScriptedDevice : public serial::ComDevice {
  public:
    explicit ScriptedDevice(std::shared_ptr<DeviceScript> script) : s_(std::move(script)) {}

    int Open(const std::string& path) override {
        std::lock_guard lock(s_->mutex);
        s_->paths.push_back(path);
        if (int err = Enter("Open")) return err;
        s_->isOpen = open_ = true;
        return 0;
    }
    void Close() override {
        std::lock_guard lock(s_->mutex);
        s_->calls.push_back("Close");
        s_->isOpen = open_ = false;
    }
    bool IsOpen() const override { return open_; }

    int SetState(const serial::Dcb& dcb) override {
        std::lock_guard lock(s_->mutex);
        if (int err = Enter("SetState")) return err;
        s_->states.push_back(dcb);
        return 0;
    }
    int SetTimeouts(const serial::CommTimeouts& t) override {
        std::lock_guard lock(s_->mutex);
        if (int err = Enter("SetTimeouts")) return err;
        s_->timeouts.push_back(t);
        return 0;
    }
    int SetupQueues(int32_t in, int32_t out) override {
        std::lock_guard lock(s_->mutex);
        if (int err = Enter("SetupQueues")) return err;
        s_->queues.emplace_back(in, out);
        return 0;
    }

    int ReadSome(void* buffer, size_t count, size_t& done) override {
        std::lock_guard lock(s_->mutex);
        done = 0;
        if (int err = Enter("ReadSome")) return err;
        done = std::min(count, s_->input.size());
        std::memcpy(buffer, s_->input.data(), done);
        s_->input.erase(0, done);
        return 0;
    }
    int WriteSome(const void* buffer, size_t count, size_t& done) override {
        std::function<std::string(const std::string&)> responder;
        {
            std::lock_guard lock(s_->mutex);
            done = 0;
            if (int err = Enter("WriteSome")) return err;
            done = std::min(count, s_->writeChunk);
            s_->written.append(static_cast<const char*>(buffer), done);
            responder = s_->responder;
        }
        if (responder && done) s_->Feed(responder(std::string(static_cast<const char*>(buffer), done)));
        return 0;
    }
    int WaitReadable(int timeoutMs, bool& ready) override {
        std::unique_lock lock(s_->mutex);
        ready = false;
        if (int err = Enter("WaitReadable")) return err;
        if (s_->hungUp) {
            ready = true;
            return 0;
        }
        auto has = [this] { return !s_->input.empty(); };
        if (timeoutMs < 0)
            s_->changed.wait(lock, has);
        else
            s_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), has);
        ready = has();
        return 0;
    }
    int WaitWritable(int timeoutMs, bool& ready) override {
        std::unique_lock lock(s_->mutex);
        ready = false;
        if (int err = Enter("WaitWritable")) return err;
        auto can = [this] { return s_->canWrite; };
        if (timeoutMs < 0)
            s_->changed.wait(lock, can);
        else
            s_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), can);
        ready = can();
        return 0;
    }
    int OutputPending(uint32_t& count) override {
        std::lock_guard lock(s_->mutex);
        count = 0;
        if (int err = Enter("OutputPending")) return err;
        count = s_->outQueue;
        return 0;
    }

    int ClearError(serial::ComStatus& status) override {
        std::function<void()> look;
        {
            std::lock_guard lock(s_->mutex);
            look = s_->onQueueLook;
        }
        if (look) look();
        std::lock_guard lock(s_->mutex);
        status = serial::ComStatus{};
        if (int err = Enter("ClearError")) return err;
        status.errors = s_->errors;
        s_->errors = 0;
        status.holdFlags = s_->holdFlags;
        status.inQueue = static_cast<uint32_t>(s_->input.size());
        status.outQueue = s_->outQueue;
        return 0;
    }
    int ModemStatus(uint32_t& msBits) override {
        std::lock_guard lock(s_->mutex);
        msBits = 0;
        if (int err = Enter("ModemStatus")) return err;
        msBits = s_->modemBits;
        return 0;
    }
    int Purge(uint32_t flags) override {
        std::lock_guard lock(s_->mutex);
        if (int err = Enter("Purge")) return err;
        s_->purges.push_back(flags);
        if (flags & serial::PURGE_RXCLEAR) s_->input.clear();
        if (flags & serial::PURGE_TXCLEAR) s_->outQueue = 0;
        return 0;
    }
    int EscapeFunction(serial::Escape fn) override {
        std::lock_guard lock(s_->mutex);
        if (int err = Enter("EscapeFunction")) return err;
        s_->escapes.push_back(fn);
        s_->escapeTicks.push_back(platform::GetTickCount());
        return 0;
    }

    int SetCommMask(uint32_t mask) override {
        {
            std::lock_guard lock(s_->mutex);
            if (int err = Enter("SetCommMask")) return err;
            s_->masks.push_back(mask);
            mask_ = mask;
        }
        // Ends a pending wait, which then reports no event.
        s_->eventSignal.Signal();
        return 0;
    }
    int WaitCommEvent(uint32_t& mask, platform::StopHandle stop) override {
        mask = 0;
        {
            std::lock_guard lock(s_->mutex);
            if (int err = Enter("WaitCommEvent")) return err;
        }
        uint32_t armed;
        {
            std::lock_guard lock(s_->mutex);
            armed = mask_;
        }
        for (;;) {
            {
                std::lock_guard lock(s_->mutex);
                if (mask_ != armed) return 0;
                uint32_t hit = s_->pendingEvents & mask_;
                if (hit) {
                    s_->pendingEvents &= ~hit;
                    mask = hit;
                    return 0;
                }
            }
            const platform::StopHandle handles[2] = {stop, s_->eventSignal.Handle()};
            const int which = platform::WaitForAny(handles, 2, -1);
            if (which == -2) return EINVAL;
            if (which == 0) return 0;
            if (which == 1) s_->eventSignal.Clear();
        }
    }

  private:
    // Records the call and returns its scripted failure (mutex held).
    int Enter(const char* call) {
        s_->calls.push_back(call);
        if (s_->onCall) s_->onCall(call);
        auto it = s_->failures.find(call);
        return it == s_->failures.end() ? 0 : it->second;
    }

    std::shared_ptr<DeviceScript> s_;
    bool open_ = false;
    uint32_t mask_ = 0;
};

inline serial::TCustomComPort::DeviceFactory ScriptedFactory(std::shared_ptr<DeviceScript> script) {
    return [script] { return std::make_unique<ScriptedDevice>(script); };
}

// A script on every device `port` opens (the component's tests).
inline std::shared_ptr<DeviceScript> InstallScript(serial::TCustomComPort& port) {
    auto script = std::make_shared<DeviceScript>();
    port.SetDeviceFactory(ScriptedFactory(script));
    return script;
}

// Bit 0 of the hold flags: output waits for CTS.
constexpr uint8_t kCtsHold = 0x01;

} // namespace testsupport

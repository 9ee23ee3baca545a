// The device for in-process lines (serial/local/LocalLine.h): the port object
// chooses it for names of the form "sim:NAME", which a simulator of this
// program hands out while it runs. Reads, writes and the event wait go
// straight to the line, so the port's time-out rules and its event thread
// work over it unchanged.
#pragma once

#include "serial/ComDevice.h"
#include "serial/local/LocalLine.h"

#include <memory>
#include <string>

namespace serial {

class LocalComDevice : public ComDevice {
  public:
    LocalComDevice() = default;
    ~LocalComDevice() override;
    LocalComDevice(const LocalComDevice&) = delete;
    LocalComDevice& operator=(const LocalComDevice&) = delete;

    // oserr::kNotFound when no line of that name lives, oserr::kBusy when
    // another port holds it.
    int Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override { return line_ != nullptr; }

    int SetState(const Dcb& dcb) override;
    int SetTimeouts(const CommTimeouts& timeouts) override;
    int SetupQueues(int32_t inputSize, int32_t outputSize) override;

    int ReadSome(void* buffer, size_t count, size_t& done) override;
    int WriteSome(const void* buffer, size_t count, size_t& done) override;
    int WaitReadable(int timeoutMs, bool& ready) override;
    int WaitWritable(int timeoutMs, bool& ready) override;
    int OutputPending(uint32_t& count) override;

    int ClearError(ComStatus& status) override;
    int ModemStatus(uint32_t& msBits) override;
    int Purge(uint32_t flags) override;
    int EscapeFunction(Escape fn) override;

    // The line has no descriptor to wait on beside the stop descriptor: the
    // event thread's stop reaches the wait through InterruptEventWait().
    int SetCommMask(uint32_t mask) override;
    int WaitCommEvent(uint32_t& mask, platform::StopHandle stop) override;
    void InterruptEventWait() override;

    std::string FailureDetail() const override;

  private:
    std::shared_ptr<LocalLine> line_;
    std::string name_;
    std::string openDetail_; // why the last Open failed
};

} // namespace serial

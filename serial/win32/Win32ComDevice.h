// The device layer on Windows: a COM port opened unshared for overlapped
// I/O, the line settings handed over as the driver's own DCB, and the
// driver's event wait for the event thread. Error numbers are the Win32
// codes themselves (GetLastError).
//
// The one way of working that holds on Windows and under wine alike:
// - what is queued is read as ClearCommError + ReadFile of exactly that
//   many bytes, which completes at once whatever the time-outs;
// - a wait for input is a one-byte ReadFile with no driver time-out, ended
//   by CancelIoEx when the caller's limit passes; the byte it brings is kept
//   and handed out first by the next read (and counted as queued);
// - a write waits for its WriteFile, which the driver's write time-outs end,
//   and is finished then (OutputPending reports nothing further queued);
// - the event thread waits in WaitCommEvent against the stop event; a
//   SetCommMask(0) ends the wait (ERROR_OPERATION_ABORTED means stopped);
// - ERROR_TIMEOUT from a read is zero bytes, not a failure.
// A port without line events (no event thread) gets a handle for plain,
// blocking transfers instead, which under wine costs a third of the
// overlapped round trips: a wait for input is then a one-byte ReadFile with
// the driver's "first byte or time-out" limits {MAXDWORD, MAXDWORD, T}, at
// most 100 ms per wait when the caller has no limit (the port waits again),
// so a close from another thread waits that long at most. Such a handle
// serves one transfer at a time: a write waits for a read in progress.
// A driver that has no modem lines (wine on a pseudo-terminal answers the
// modem calls with ERROR_NOT_SUPPORTED) is treated as a line whose peer is
// always ready, as on Linux: DTR/RTS changes are skipped, the modem status
// reads CTS, DSR and carrier on. When such a driver cannot wait for line
// events either, the event thread looks at the input queue every 2 ms and
// reports received bytes (and line errors it saw) only.
#pragma once

#include "serial/ComDevice.h"

#include <atomic>
#include <mutex>
#include <string>

namespace serial {

// "COM3" and "\\.\COM3" both name \\.\COM3; a name holding a path
// separator, a colon or a NUL names no port (empty result).
std::wstring Win32DeviceName(const std::string& port);

class Win32ComDevice : public ComDevice {
  public:
    Win32ComDevice();
    ~Win32ComDevice() override;
    Win32ComDevice(const Win32ComDevice&) = delete;
    Win32ComDevice& operator=(const Win32ComDevice&) = delete;

    // `path` is the port's name (COM3) or its device name (\\.\COM3).
    int Open(const std::string& path) override;
    void Close() override;
    bool IsOpen() const override { return handle_ != nullptr; }

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

    int SetCommMask(uint32_t mask) override;
    int WaitCommEvent(uint32_t& mask, platform::StopHandle stop) override;
    void PlanEventWait(bool eventThread) override { planEvents_ = eventThread; }

    std::string FailureDetail() const override { return detail_; }

    // False once the driver said it has no modem lines.
    bool HasModemLines() const { return modemLines_.load(); }
    // False once the driver said it cannot wait for line events.
    bool WaitsForEvents() const { return driverEvents_.load(); }
    // Whether the handle is open for overlapped transfers (an event thread
    // was planned) or plain, blocking ones.
    bool IsOverlapped() const { return overlapped_; }

  private:
    struct Overlapped;
    int QueueStatus(uint32_t& errors, ComStatus& status);
    int ReadQueued(uint8_t* into, size_t count, size_t& done);
    int PollEvents(uint32_t& mask, platform::StopHandle stop);
    int Transfer(bool write, void* buffer, uint32_t count, int limitMs, uint32_t& moved);
    int ApplyTimeouts(uint32_t readWaitMs);

    void* handle_ = nullptr; // HANDLE; null while closed
    bool planEvents_ = true;
    bool overlapped_ = true;
    // The driver's time-outs: the port's write limits, and for blocking
    // transfers the read wait now set (0: none, reads take what is queued).
    uint32_t writeMultiplier_ = 0;
    uint32_t writeConstant_ = 0;
    uint32_t readWaitMs_ = 0;
    std::atomic<bool> modemLines_{true};
    std::atomic<bool> driverEvents_{true};
    std::string detail_;

    std::mutex readMutex_; // one reader at a time; guards the kept byte
    std::atomic<bool> kept_{false};
    uint8_t keptByte_ = 0;
    std::mutex writeMutex_;
    std::mutex statusMutex_; // errors a polling event wait took from the driver
    uint32_t heldErrors_ = 0;

    std::atomic<uint32_t> mask_{0};
    // For the polling wait: bytes handed to callers so far, and the bytes
    // received (handed out + queued) at the last report.
    std::atomic<uint64_t> handedOut_{0};
    uint64_t polledReceived_ = 0;
    Overlapped* read_ = nullptr;
    Overlapped* write_ = nullptr;
    Overlapped* wait_ = nullptr;
    void* maskChanged_ = nullptr; // event: SetCommMask was called (polling wait)
};

} // namespace serial

// The device layer under the port object: the few platform calls a serial
// line needs, each returning 0 or the platform's error number (errno).
// serial/posix/PosixComDevice implements it on termios, serial/net over the
// network, serial/local on an in-process line; tests use scripted doubles
// (tests/support/ScriptedDevice.h).
//
// Time-out rules live above this layer (in the port), built on "wait until
// readable/writable or a deadline" plus "transfer what is there", so they hold
// for every device.
#pragma once

#include "platform/Stop.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace serial {

// The line settings handed to the driver. The fields are those of the
// Windows device control block, so the port's rules read the same on every
// platform; a backend takes what its driver has a counter-part for and
// ignores the rest (on Linux among others DCBlength, fAbortOnError, the
// XON/XOFF limits and the end-of-file character: serial/posix/PosixComDevice.h
// lists what has no counterpart).
struct Dcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    bool fBinary = false;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 0; // 0 low, 1 high, 2 handshake
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = 0; // 0 low, 1 high, 2 handshake, 3 toggle
    bool fAbortOnError = false;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    uint8_t XonChar = 0;
    uint8_t XoffChar = 0;
    uint8_t ErrorChar = 0;
    uint8_t EofChar = 0;
    uint8_t EvtChar = 0;
};

// The read and write time-outs in milliseconds, as 32-bit patterns
// (0xFFFFFFFF is the all-ones "return at once" read interval).
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// What the driver reports of its state (ClearCommError).
struct ComStatus {
    uint32_t errors = 0;    // CE_* bits below
    uint8_t holdFlags = 0;  // bit 0 CTS hold, 1 DSR hold, 2 RLSD hold, 3 XOFF received, 4 XOFF sent, 5 EOF, 6 immediate byte
    uint32_t inQueue = 0;   // bytes waiting to be read
    uint32_t outQueue = 0;  // bytes not yet sent
};

// Driver error bits.
enum : uint32_t {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
    CE_TXFULL = 0x0100,
    CE_IOE = 0x0400,
    CE_MODE = 0x8000,
};

// Modem status bits.
enum : uint32_t { MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80 };

// Purge flags.
enum : uint32_t { PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4, PURGE_RXCLEAR = 0x8 };

// Escape functions.
enum class Escape { SetDTR, ClrDTR, SetRTS, ClrRTS, SetBreak, ClrBreak };

// Event mask bits for SetCommMask / WaitCommEvent.
enum : uint32_t {
    EV_RXCHAR = 0x0001,
    EV_RXFLAG = 0x0002,
    EV_TXEMPTY = 0x0004,
    EV_CTS = 0x0008,
    EV_DSR = 0x0010,
    EV_RLSD = 0x0020,
    EV_BREAK = 0x0040,
    EV_ERR = 0x0080,
    EV_RING = 0x0100,
    EV_RX80FULL = 0x0400,
};

class ComDevice {
public:
    virtual ~ComDevice() = default;

    // Opens the device at `path` exclusively; 0 or errno.
    virtual int Open(const std::string& path) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    virtual int SetState(const Dcb& dcb) = 0;
    virtual int SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual int SetupQueues(int32_t inputSize, int32_t outputSize) = 0;

    // Non-blocking transfer of what can move now; `done` gets the count.
    virtual int ReadSome(void* buffer, size_t count, size_t& done) = 0;
    virtual int WriteSome(const void* buffer, size_t count, size_t& done) = 0;
    // Block until readable / writable or `timeoutMs` passed (-1: no limit).
    // `ready` tells which. A hang-up counts as ready (the transfer then fails
    // or moves nothing).
    virtual int WaitReadable(int timeoutMs, bool& ready) = 0;
    virtual int WaitWritable(int timeoutMs, bool& ready) = 0;
    // Bytes written but not yet sent by the driver.
    virtual int OutputPending(uint32_t& count) = 0;

    virtual int ClearError(ComStatus& status) = 0;
    virtual int ModemStatus(uint32_t& msBits) = 0;
    virtual int Purge(uint32_t flags) = 0;
    virtual int EscapeFunction(Escape fn) = 0;

    // Event waiting for the event thread. SetCommMask(0) ends a pending wait
    // (it then returns 0 with mask 0). WaitCommEvent blocks until one of the
    // masked events happens or `stop` is set (mask 0).
    virtual int SetCommMask(uint32_t mask) = 0;
    virtual int WaitCommEvent(uint32_t& mask, platform::StopHandle stop) = 0;
    // The event thread calls this beside setting its stop, for devices whose
    // wait cannot watch the stop itself (an in-process line has nothing to
    // poll): it ends a pending WaitCommEvent, and every one that begins after
    // it, with mask 0 until the next SetCommMask with a non-empty mask.
    // Devices that watch the stop need nothing here.
    virtual void InterruptEventWait() {}
    // Told before Open whether an event thread will wait on the device. One
    // that has a faster way of working without that wait may take it (the
    // Windows device opens its handle for plain, blocking transfers then).
    virtual void PlanEventWait(bool /*eventThread*/) {}

    // Where the last failure happened, for its message (a network device
    // names its host); empty when the error number says it all.
    virtual std::string FailureDetail() const { return {}; }
};

} // namespace serial

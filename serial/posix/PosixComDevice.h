// The device layer on Linux termios: a serial line (or a pseudo-terminal)
// opened exclusively, non-blocking, with the line settings handed over as
// termios2 so any bit rate works.
//
// Mappings Linux cannot do exactly (the rest maps one to one):
// - 1.5 stop bits: CSTOPB, as for two. A UART sends 1.5 stop bits for CSTOPB
//   with five data bits and two otherwise, which is what the line gets.
// - DTR handshake has no Linux counterpart: DTR is held high. RTS toggle is
//   held high too. RTS handshake and CTS output flow share the one CRTSCTS
//   flag: either turns on both directions (the kernel then drives RTS).
// - DSR output flow, DSR sensitivity, "transmit continues on XOFF" and the
//   XON/XOFF limits have no counterpart and are ignored.
// - Parity check is INPCK with PARMRK; the marks are decoded when reading so
//   a faulty byte arrives as received, or as the replacement character when
//   one is set. The pending-input count still counts the marks.
// - Null discard is done when reading (the kernel has no such flag).
// - CLOCAL is always on: a dropped carrier never hangs the line up.
// A pseudo-terminal has no modem lines: DTR/RTS changes are skipped and the
// modem status reads as CTS, DSR and carrier on (a peer that is always ready).
#pragma once

#include "serial/ComDevice.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace serial {

// The kernel's termios2 (layout and flag values of <asm/termbits.h>), kept
// here so the mapping can be tested without pulling the kernel header (which
// clashes with <termios.h>) into every user.
struct TermiosImage {
    uint32_t c_iflag = 0;
    uint32_t c_oflag = 0;
    uint32_t c_cflag = 0;
    uint32_t c_lflag = 0;
    uint8_t c_line = 0;
    uint8_t c_cc[19] = {};
    uint32_t c_ispeed = 0;
    uint32_t c_ospeed = 0;
};

// The raw-mode termios a Dcb amounts to, starting from `current` (fields the
// Dcb does not decide are kept, e.g. c_line). Returns 0 or EINVAL for a value
// the driver cannot take (data bits outside 5..8, parity above 4, stop bits
// above 2, bit rate 0).
int DcbToTermios(const Dcb& dcb, const TermiosImage& current, TermiosImage& out);
// TCGETS2 / TCSETS2 on any terminal fd (also a pty master, which shows the
// slave's settings); 0 or errno.
int ReadTermios(int fd, TermiosImage& out);
int WriteTermios(int fd, const TermiosImage& in);

// The path a port name stands for: "\\.\NAME" and "NAME" become /dev/NAME,
// an absolute name is used as it is.
std::string DevicePathForPort(const std::string& port);

// Received bytes as the caller should see them. With parity checking the
// kernel (PARMRK) marks a faulty byte X as 0xFF 0x00 X and a real 0xFF as
// 0xFF 0xFF; this turns marks back into X, or into the replacement byte when
// replacing, and can drop zero bytes. A mark split across reads is carried.
class InputDecoder {
  public:
    void Configure(bool marks, bool replace, uint8_t replaceChar, bool dropNull);
    // Decodes `n` raw bytes in place; returns how many bytes remain.
    size_t Decode(uint8_t* buffer, size_t n);
    // Forgets a carried partial mark (after a purge of input).
    void Reset() { carryLen_ = 0; }
    // True when bytes pass unchanged.
    bool Transparent() const { return !marks_ && !dropNull_; }

  private:
    bool marks_ = false;
    bool replace_ = false;
    uint8_t replaceChar_ = 0;
    bool dropNull_ = false;
    uint8_t carry_[2] = {};
    size_t carryLen_ = 0;
};

class PosixComDevice : public ComDevice {
  public:
    PosixComDevice();
    ~PosixComDevice() override;
    PosixComDevice(const PosixComDevice&) = delete;
    PosixComDevice& operator=(const PosixComDevice&) = delete;

    int Open(const std::string& path) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }

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

    // Defined with the event waiting (PosixComDeviceEvents.cpp).
    int SetCommMask(uint32_t mask) override;
    int WaitCommEvent(uint32_t& mask, int stopFd) override;

    // The open file descriptor, -1 while closed.
    int Fd() const { return fd_; }
    // False for devices that answer the modem-line calls with ENOTTY/EINVAL
    // (pseudo-terminals); decided once at Open.
    bool HasModemLines() const { return modemLines_; }
    // The line settings last handed over successfully.
    const Dcb& State() const { return dcb_; }

  private:
    int SetLine(unsigned long request, int bit);

    int fd_ = -1;
    bool locked_ = false;
    bool modemLines_ = true;
    Dcb dcb_{};
    InputDecoder decoder_;
    // Driver error counters at the last ClearError (serial devices only);
    // the event thread may ask for the status while the owner does too.
    struct ErrorCounters {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } counters_;
    std::mutex countersMutex_;
    bool countersKnown_ = false;

    // The event-waiting state, defined with the event waiting
    // (PosixComDeviceEvents.cpp). Held by a shared_ptr because its deleter is
    // bound where the state is created, so this file and the destructor need
    // not see the complete type. Close() drops it while the descriptor is
    // still open.
    struct EventState;
    std::shared_ptr<EventState> events_;
};

} // namespace serial

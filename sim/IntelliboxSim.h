// A simulated Intellibox / TWIN-Center.
//
// IntelliboxModel is the interface itself: bytes heard at its own rate in, answer bytes out, no
// threads and no I/O. IntelliboxSim runs a model behind the master side of a pseudo-terminal on
// a thread of its own, hears the PC only while the line is set to the interface's rate, and
// paces its answers at that rate.
//
// The interface as modelled:
// - It runs at one rate at a time (2400 after power-up). Bytes sent at another rate are noise
//   to it: they are recorded, answer nothing and cut off a half-received command.
// - Three modes. P50X only: a byte below 0x80 starts a text command that ends with CR, a byte
//   from 0x80 a binary command; 0xC6 + one byte and 0xC7 + two bytes carry P50 commands.
//   P50 only: every byte belongs to a P50 command. Mixed: "x" or "X" starts a P50X command
//   (text or binary as above), anything else a P50 command.
// - Text commands are answered with text ending in "]": an empty line with "?]", "ZzA0" with
//   "ZzA0]", "RT10" with "RS-232 CTS ok]", "B" + rate (2400..38400) with "Ok]" and then the
//   interface moves to that rate (another rate: "Error: baud rate]"), "L" + address, speed,
//   light, direction, F1..F4 with "Ok]" (or "Error <code>]" for a reply code), anything else
//   with "Unknown command]". So the mode probe "X" CR gets "?]" in mixed mode (two bytes),
//   "Unknown command]" when P50X only (sixteen), nothing when P50 only.
// - Binary P50X: 0xC4 answers 0x00 and a version byte (or the 0x00 alone, switchable); 0xA7
//   power on, 0xA6 power off, 0x99 sensor, 0x80 (+ address low, high, speed, flags) locomotive
//   answer one reply code (0 = done; any other code leaves the state alone). Other binary
//   bytes answer nothing.
// - P50: 0x60 power on, 0x61 power off, 0x20 solenoids off (one byte each); 0x80 + n reads
//   feedback modules 1..n (two bytes each), 0xC0 + n module n; any other byte below 0x60 starts
//   a two-byte command (speed + 16 for the light, then the address for 0..31). No answers
//   except the reads.
// - A break cannot be simulated: a pseudo-terminal does not pass one (TIOCSBRK on it succeeds
//   and does nothing), so the simulated interface needs none to listen.
#pragma once

#include "sim/PtyEndpoint.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class IBMode { Mixed, P50XOnly, P50Only };

enum class IBKind { P50XText, P50XBinary, P50Bare, P50Wrapped };

// One complete command as the interface understood it: the command's own bytes, without the
// "x" prefix, the wrapper or the CR.
struct IBCommand {
    IBKind kind;
    std::string bytes;
    std::string answer; // what went back (before pacing), possibly nothing
};

struct IBLoc {
    uint8_t speed = 0;
    bool light = false;
    bool forward = false;
    uint8_t functions = 0; // bit 0 = F1
};

class IntelliboxModel {
  public:
    explicit IntelliboxModel(IBMode mode = IBMode::Mixed, unsigned baud = 2400);

    // Bytes heard at the interface's rate; returns the answer. A text answer that is to
    // stream without end is not part of it: see TakeEndlessText().
    std::string Feed(const std::string& bytes, std::vector<IBCommand>* commands = nullptr);
    // Noise on the line: a half-received command is dropped.
    void Reset();

    unsigned Baud() const { return baud_; }
    void SetBaud(unsigned baud) { baud_ = baud; }
    IBMode Mode() const { return mode_; }
    void SetMode(IBMode mode);
    bool Power() const { return power_; }
    void SetPower(bool on) { power_ = on; }
    // P50X locomotives by address; P50 ones by their one-byte address.
    const std::map<uint16_t, IBLoc>& Locs() const { return locs_; }
    const std::map<uint8_t, uint8_t>& P50Locs() const { return p50Locs_; }
    void SetFeedback(uint8_t module, uint16_t inputs) { feedback_[module] = inputs; }

    // Settings and fault switches.
    void SetProbeAnswerBytes(int n) { probeBytes_ = n == 1 ? 1 : 2; }
    // Replaces the answer to "X" CR (nullopt: the mode's own).
    void SetModeProbeAnswer(std::optional<std::string> answer) { probeAnswer_ = std::move(answer); }
    void SetReplyCode(uint8_t code) { replyCode_ = code; }         // every command from now on
    void SetNextReplyCode(uint8_t code) { nextReplyCode_ = code; } // the next one only
    void SetSilent(bool silent) { silent_ = silent; }
    // "B..." is answered "Ok]" but the interface stays at its rate.
    void SetIgnoreBaudChange(bool on) { ignoreBaud_ = on; }
    // The next text answer is `n` bytes without "]" (SIZE_MAX: it never ends).
    void SetEndlessText(size_t n) { endless_ = n; }
    // Taken by the transport after Feed(): bytes of endless text now due, 0 when none.
    size_t TakeEndlessText();

  private:
    void Command(IBKind kind, const std::string& bytes, std::string& answer,
                 std::vector<IBCommand>* commands);
    std::string Text(const std::string& line);
    std::string Binary(const std::string& cmd);
    std::string P50(const std::string& cmd);
    // Bytes a command starting with `first` needs in this context; 0 = up to CR.
    size_t BinaryLength(uint8_t first) const;
    static size_t P50Length(uint8_t first);
    uint8_t Code();

    IBMode mode_;
    unsigned baud_;
    bool power_ = false;
    std::map<uint16_t, IBLoc> locs_;
    std::map<uint8_t, uint8_t> p50Locs_;
    std::map<uint8_t, uint16_t> feedback_;

    // Parser: the bytes of the command being received, and what kind it is.
    enum class State { Start, AfterX, Text, Binary, P50 };
    State state_ = State::Start;
    bool prefixed_ = false;
    std::string cmd_;
    size_t want_ = 0;

    int probeBytes_ = 2;
    std::optional<std::string> probeAnswer_;
    uint8_t replyCode_ = 0;
    std::optional<uint8_t> nextReplyCode_;
    bool silent_ = false;
    bool ignoreBaud_ = false;
    size_t endless_ = 0;
    size_t endlessDue_ = 0;
};

// One byte received from the PC: when, at what line rate, and whether the interface heard it
// (the rates matched).
struct IBReceived {
    uint64_t atUs;
    uint8_t byte;
    unsigned lineBaud;
    bool heard;
};

// One byte sent to the PC and the rate it went at.
struct IBSent {
    uint64_t atUs;
    uint8_t byte;
    unsigned baud;
};

// What the PC set on the line, read from the master side (Linux shows the slave's termios
// there).
struct IBLine {
    unsigned baud = 0;
    bool twoStopBits = false;
    bool rtsCts = false;
};

class IntelliboxSim {
  public:
    explicit IntelliboxSim(IBMode mode = IBMode::Mixed, unsigned baud = 2400);
    ~IntelliboxSim();
    IntelliboxSim(const IntelliboxSim&) = delete;
    IntelliboxSim& operator=(const IntelliboxSim&) = delete;

    const std::string& DevicePath() const { return pty_.Path(); }

    unsigned Baud();
    void SetBaud(unsigned baud);
    void SetMode(IBMode mode);
    bool Power();
    std::map<uint16_t, IBLoc> Locs();
    std::map<uint8_t, uint8_t> P50Locs();
    void SetFeedback(uint8_t module, uint16_t inputs);
    IBLine Line();

    std::vector<IBReceived> ReceivedBytes();
    std::vector<IBSent> SentBytes();
    std::vector<IBCommand> Commands();
    void Clear(); // every record
    // Block (no spinning) until the records reach n entries or the time-out passed.
    bool WaitForReceived(size_t n, int timeoutMs);
    bool WaitForCommands(size_t n, int timeoutMs);

    void SetRequestMonitor(std::function<void(const IBCommand&)> monitor);

    // Settings and fault switches (see IntelliboxModel).
    void SetProbeAnswerBytes(int n);
    void SetModeProbeAnswer(std::optional<std::string> answer);
    void SetReplyCode(uint8_t code);
    void SetNextReplyCode(uint8_t code);
    void SetSilent(bool silent);
    void SetIgnoreBaudChange(bool on);
    void SetEndlessText(size_t n); // ends a running endless answer when set to 0
    // Answers every chunk heard at a wrong rate with one noise byte, as a receiver framing
    // garbage might.
    void SetNoiseAtWrongRate(bool on);
    // Answers go out at the line rate (11 bit times a byte); off: at once.
    void SetPacing(bool on);

  private:
    struct OutByte {
        uint64_t dueUs;
        uint8_t byte;
        unsigned baud;
    };

    void HandleInput(const char* data, size_t n);
    void Queue(const std::string& bytes, unsigned baud, uint64_t now);
    void TopUpEndless(uint64_t now);
    void FlushDue();
    int PollTimeoutMs(bool& wantOutput);

    std::mutex mutex_;
    std::condition_variable recordChanged_;
    IntelliboxModel model_;
    std::deque<IBReceived> received_;
    std::deque<IBSent> sent_;
    std::vector<IBCommand> commands_;
    std::deque<OutByte> outgoing_;
    uint64_t lineFreeUs_ = 0; // when the last queued byte has gone out
    size_t endlessLeft_ = 0;
    unsigned endlessBaud_ = 0;
    bool noise_ = false;
    bool pacing_ = true;
    std::function<void(const IBCommand&)> monitor_;
    PtyEndpoint pty_; // last: its thread stops before the state above goes
};

} // namespace sim

// The simulated Intellibox / TWIN-Center: bytes heard at its own rate in, answer bytes out, no
// threads and no I/O (IntelliboxSim runs it behind a pseudo-terminal).
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
//   answer one reply code (0 = done; any other code leaves the state alone). 0x98 + module
//   (1..31; else code 2) answers 0x00 and the module's two bytes, or a reply code alone.
//   Other binary bytes answer nothing.
// - P50: 0x60 power on, 0x61 power off, 0x20 solenoids off (one byte each); 0x80 + n reads
//   feedback modules 1..n (two bytes each), 0xC0 + n module n; any other byte below 0x60 starts
//   a two-byte command (speed + 16 for the light, then the address for 0..31). No answers
//   except the reads.
// - A break cannot be simulated: a pseudo-terminal does not pass one (TIOCSBRK on it succeeds
//   and does nothing), so the simulated interface needs none to listen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
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

struct IBLoco {
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
    const std::map<uint16_t, IBLoco>& Locos() const { return locos_; }
    const std::map<uint8_t, uint8_t>& P50Locos() const { return p50Locos_; }
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
    // Taken by the simulator after Feed(): bytes of endless text now due, 0 when none.
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
    std::map<uint16_t, IBLoco> locos_;
    std::map<uint8_t, uint8_t> p50Locos_;
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

} // namespace sim

// The simulated Märklin computer interface with its feedback (s88) modules: bytes in, answer
// bytes out, no threads and no I/O (MarklinSim runs it behind a pseudo-terminal).
//
// The interface as modelled:
// - 0x60 switches the track power on, 0x61 off (the emergency stop).
// - A locomotive command is two bytes: the speed byte (speed 0..14, 15 = change direction,
//   +16 for the light) or a function byte (64 + functions 1..4 in bits 0..3, +16 for the
//   light), then the address. The model keeps the last of each per address.
// - 128 + n (n = 1..31) reads modules 1..n, two bytes each; 192 + n reads module n alone.
//   A module's 16 inputs go out input 1..8 first (bit 7 = input 1), then inputs 9..16.
// - 32 switches the solenoid current off; 33 and 34 + address set a turnout (kept only as a
//   count). Any other byte where a command should start is ignored and counted.
// - The interface paces the PC with CTS; a pty has no modem lines, so that cannot be shown
//   here (the component's CTS rules are tested with a scripted device instead). Every byte is
//   recorded with its arrival time, so tests can measure the gaps between transmissions.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

constexpr uint8_t kMarklinGo = 0x60;
constexpr uint8_t kMarklinStop = 0x61;
constexpr uint8_t kMarklinReadUpTo = 128;
constexpr uint8_t kMarklinReadOne = 192;
constexpr uint8_t kMarklinModules = 31;

// One complete command as the interface understood it.
struct MarklinCommand {
    enum Kind { Power, Loco, Function, Read, Switch } kind;
    uint8_t first = 0;   // the command byte (speed / function byte for Loco and Function)
    uint8_t address = 0; // Loco, Function, Switch; the module count n for Read
    uint64_t atUs = 0;
};

class MarklinModel {
  public:
    // Bytes from the PC at `nowUs`, sent at `baud` (the interface hears any rate); returns the
    // answer, possibly empty.
    std::string Feed(const std::string& bytes, unsigned baud, uint64_t nowUs);

    bool Power() const { return power_; }
    void SetPower(bool on) { power_ = on; }
    // Inputs of module n (1..31), bit 15 = input 1; other numbers are refused (false).
    bool SetModule(unsigned n, uint16_t inputs);
    uint16_t Module(unsigned n) const { return n >= 1 && n <= kMarklinModules ? modules_[n] : 0; }
    // The last speed byte / function byte sent to an address, -1 when none came.
    int LocoByte(uint8_t address) const;
    int FunctionByte(uint8_t address) const;
    const std::vector<MarklinCommand>& Commands() const { return commands_; }
    void ClearCommands() { commands_.clear(); }
    uint64_t BytesIgnored() const { return ignored_; }

    void SetSilent(bool silent) { silent_ = silent; } // feedback reads go unanswered

  private:
    void AnswerModules(unsigned from, unsigned to, std::string& answer) const;

    bool power_ = false;
    std::array<uint16_t, kMarklinModules + 1> modules_{};
    std::map<uint8_t, uint8_t> loco_, function_;
    std::vector<MarklinCommand> commands_;
    int pending_ = -1; // first byte of a two-byte command waiting for its address
    uint64_t ignored_ = 0;
    bool silent_ = false;
};

} // namespace sim

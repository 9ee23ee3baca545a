// The simulated Lenz computer interface with its command station: bytes from the PC in,
// messages out, no threads and no I/O (LenzSim runs it behind a pseudo-terminal).
//
// The interface as modelled:
// - Every message either way is a header byte whose low nibble counts the data bytes, the data
//   and an XOR byte over all of them. A message from the PC whose XOR byte is wrong is answered
//   with 0x01 0x01 (error between interface and PC) and not carried out.
// - 0x21 0x21 asks the version: 0x63 0x21 V 0x00 from version 3.0 on, 0x62 0x21 V before (V is
//   the version byte, 0x36 for 3.6). 0x21 0x81 switches the track on, 0x21 0x80 off, 0x80 stops
//   every locomotive; each is answered with "command ok" (0x01 0x04) and then broadcast: 0x61
//   0x01 (all on), 0x61 0x00 (track off) or 0x81 0x00 (emergency stop), twice from version 3.0
//   on and four times before.
// - 0x42 A N asks feedback module A (the address minus one) for its lower (N = 0x80) or upper
//   (0x81) nibble; the answer is 0x42 A F with F = type bits, bit 4 for the upper nibble and the
//   four inputs. A module is a feedback module (type 0x40) unless made a turnout decoder.
// - 0x52 A D sets a turnout; locomotive commands 0xB3 L S F (speed byte: bit 6 direction, bit 5
//   light, five speed bits in 28 steps), 0xB4 L S F M (M: 0 = 14, 1 = 27, 2 = 28, 3 = 128
//   steps), and from version 3.0 on 0xE4 0x10..0x13 AH AL S (bit 7 direction; 14, 27, 28, 128
//   steps) and 0xE4 0x20 AH AL F (bit 4 light, bits 0..3 functions 1..4) are answered with
//   "command ok", and the locomotive keeps its state. Addresses from 100 up come as 0xC0 + high
//   byte, low byte.
// - 0xE3 0x00 AH AL (version 3.0 on) asks a locomotive's state: 0xE4 ID S FA FB, ID = step mode
//   (0, 1, 2, 4) plus 0x08 while a hand controller holds it. 0xA1 L / 0xA2 L ask it the old way:
//   0x83 L S F / 0x84 L S F M.
// - Anything else is answered with 0x01 0x03 (unknown command).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

// A locomotive as the command station holds it.
struct LenzLoco {
    uint8_t steps = 28; // 14, 27, 28 or 128
    uint8_t speed = 0;  // step, 0 = standing
    bool forward = true;
    bool light = false;
    uint8_t functions = 0; // bit 0 = function 1
    bool byHand = false;   // taken over by a hand controller
};

enum class LenzPower { On, Off, EmergencyStop };

// Reports the interface gives instead of the next answer.
enum class LenzReport {
    None,
    Busy,         // 0x61 0x81
    ErrorPc,      // 0x01 0x01
    ErrorStation, // 0x01 0x02
    Unknown,      // 0x01 0x03
    NoTimeslots,  // 0x01 0x05
    NotSupported, // 0x61 0x82
};

// Appends the XOR byte to `bytes`.
std::string LenzFrame(const std::string& bytes);

class LenzModel {
  public:
    explicit LenzModel(uint8_t versionByte = 0x36);

    // Feeds bytes from the PC; returns the messages the interface sends back, in order.
    std::vector<std::string> Feed(const std::string& bytes);

    uint8_t VersionByte() const { return version_; }
    void SetVersionByte(uint8_t v) { version_ = v; }
    bool Version3() const { return version_ >= 0x30; }
    LenzPower Power() const { return power_; }
    const LenzLoco* Loco(uint16_t address) const;
    uint8_t Turnout(uint8_t address) const;
    uint8_t Inputs(uint8_t module) const; // bit 0 = input 1 of module `module` (address byte)

    // Unsolicited traffic, returned as the messages to broadcast.
    // Sets a module's eight inputs; broadcasts each nibble that changed.
    std::vector<std::string> SetInputs(uint8_t module, uint8_t inputs);
    void SetTurnoutModule(uint8_t module, bool turnout) { turnoutModule_[module] = turnout; }
    // A hand controller takes the locomotive over.
    std::string TakeOver(uint16_t address);
    // The emergency-stop key of a hand controller.
    std::string HandEmergencyStop();
    // Track power switched at the command station.
    std::vector<std::string> SwitchPower(bool on);

    // Fault switches.
    void SetSilent(bool on) { silent_ = on; }
    void CorruptNextAnswer() { corruptNext_ = true; }
    void SetDropEvery(int n) {
        dropEvery_ = n > 0 ? n : 0;
        answers_ = 0;
    }
    void SetMissingBroadcasts(int n) { missingBroadcasts_ = n > 0 ? n : 0; }
    void ReportNext(LenzReport r) { reportNext_ = r; }
    void SetReportAlways(LenzReport r) { reportAlways_ = r; }

    // Counters for tests.
    uint64_t MessagesReceived() const { return messages_; }
    uint64_t XorErrors() const { return xorErrors_; }

  private:
    std::vector<std::string> Handle(const std::string& msg);
    std::vector<std::string> Ok() { return {LenzFrame(std::string("\x01\x04", 2))}; }
    std::vector<std::string> Broadcasts(const std::string& bytes);
    std::string StateV3(uint16_t address) const;
    std::string StateOld(uint8_t address, bool withMode) const;
    std::string FeedbackEntry(uint8_t module, bool upper) const;
    std::vector<std::string> Deliver(std::vector<std::string> answers);

    uint8_t version_;
    LenzPower power_ = LenzPower::Off;
    std::map<uint16_t, LenzLoco> locos_;
    std::map<uint8_t, uint8_t> turnouts_;
    uint8_t inputs_[256] = {};
    bool turnoutModule_[256] = {};
    std::string pending_; // a message from the PC not yet whole

    bool silent_ = false;
    bool corruptNext_ = false;
    int dropEvery_ = 0;
    uint64_t answers_ = 0;
    int missingBroadcasts_ = 0;
    LenzReport reportNext_ = LenzReport::None;
    LenzReport reportAlways_ = LenzReport::None;
    uint64_t messages_ = 0;
    uint64_t xorErrors_ = 0;
};

} // namespace sim

// A simulated Lenz computer interface with its command station.
//
// LenzModel is the interface itself: bytes from the PC in, messages out, no threads and no I/O.
// LenzSim runs a model behind the master side of a pseudo-terminal on a thread of its own, like
// SelectrixSim; the code under test opens DevicePath() and talks the real bytes to it.
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

#include "sim/PtyEndpoint.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// One byte as it crossed the line, stamped with platform::MicroNow().
struct LenzByte {
    uint64_t atUs;
    uint8_t byte;
};

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

// The transport: the model behind a raw pseudo-terminal, served by one thread that sleeps in
// poll(). The simulator keeps a slave descriptor of its own, so the code under test may close
// and re-open DevicePath() as often as it likes.
class LenzSim {
  public:
    explicit LenzSim(uint8_t versionByte = 0x36);
    ~LenzSim();
    LenzSim(const LenzSim&) = delete;
    LenzSim& operator=(const LenzSim&) = delete;

    const std::string& DevicePath() const { return pty_.Path(); }

    // Runs `fn` on the model under the simulator's lock; messages it returns go on the line.
    void WithModel(const std::function<std::vector<std::string>(LenzModel&)>& fn);
    void SetVersionByte(uint8_t v);
    LenzPower Power();
    bool Loco(uint16_t address, LenzLoco& out);
    // Unsolicited traffic.
    void SetInputs(uint8_t module, uint8_t inputs);
    void TakeOver(uint16_t address);
    void HandEmergencyStop();
    void SwitchPower(bool on);
    void SendRaw(const std::string& bytes); // any bytes, e.g. garbage

    // Every byte received from the PC and every byte sent to it, in order.
    std::vector<LenzByte> ReceivedBytes();
    std::vector<LenzByte> SentBytes();
    void ClearRecords();
    bool WaitForReceived(size_t n, int timeoutMs);
    bool WaitForSent(size_t n, int timeoutMs);
    uint64_t XorErrors();

    // Fault switches.
    void SetSilent(bool on);
    void SetAnswerDelayMs(int ms);
    void CorruptNextAnswer();   // one byte of the next answer is wrong
    void SetChunkGapMs(int ms); // > 0: answers go out a byte at a time, this far apart
    void SetGarbage(const std::string& bytes); // sent before every message
    void SetDropEvery(int n);                  // drops every n-th answer (0 = never)
    void SetMissingBroadcasts(int n);          // power broadcasts fewer than usual
    void ReportNext(LenzReport r);
    void SetReportAlways(LenzReport r);

  private:
    void HandleInput(const char* data, size_t n);
    void Queue(const std::vector<std::string>& messages, uint64_t delayUs); // under the lock
    void FlushDue();

    std::mutex mutex_;
    std::condition_variable recordChanged_;
    LenzModel model_;
    std::deque<LenzByte> received_;
    std::deque<LenzByte> sent_;
    PtyOutbox outgoing_;
    uint64_t lastDueUs_ = 0;
    int answerDelayMs_ = 0;
    int chunkGapMs_ = 0;
    std::string garbage_;
    PtyEndpoint pty_; // last: its thread stops before the state above goes
};

} // namespace sim

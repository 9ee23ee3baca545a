// The simulated Selectrix central unit with its PC interface: bytes from the PC in, answer bytes
// out, no threads and no I/O, so its rules can be tested on their own (SelectrixSim runs it
// behind a pseudo-terminal).
//
// The unit as modelled:
// - 128 bus addresses of one byte each. Locomotive and function decoders keep what was written
//   to them; a feedback unit (an address given inputs with SetFeedback) drives its own inputs,
//   so a write from the PC to it does not stick.
// - Address 127 is track power. Any non-zero write switches it on, 0 switches it off; a read
//   answers kPowerOnValue (0x80) while on and 0x00 while off, whatever non-zero value (0xFF
//   from the component) switched it on.
// - Requests are two bytes: byte 1 bit 7 = write, bits 6..0 the address; byte 2 is the data of a
//   write, or the filler 0x20 of a read. A read is answered with one byte.
// - Resynchronisation after garbage: a first byte that has waited longer than kRequestGapMs for
//   its second is dropped, and the new byte starts a request. A read whose second byte is not
//   the filler is dropped as well, and that second byte is taken as the first byte of the next
//   request. A well-formed stream never triggers either rule, and any stray bytes are absorbed
//   by the next read request or the next pause.
// - The decoder programmer behind 104/105 (register values), 106 (commands) and 109 (status:
//   bit 6 = in use, bit 5 = ready). Released it shows bit 5 only. Command 64 claims it: bit 6
//   at once, bit 5 after ProgrammerTiming::claimMs. 193 clears bit 5 and arms a read; 129 after
//   it loads the programming-track decoder's two registers into 104/105 and, after loadMs, sets
//   bit 5 and leaves programming mode (bit 6 clears: 129 is the read command without the mode
//   bit), so a read-back needs no release before the next claim. 201 clears bit 5 and writes
//   104/105 (as they are when 201 arrives) into the decoder, setting bit 5 after writeMs. 0
//   releases it (bit 5 set, bit 6 clear) after releaseMs and abandons an unfinished load or
//   write. While claimed by someone else (SetProgrammerBusy) 109 shows bit 6 alone and every
//   command is ignored; 193, 129 and 201 are ignored unless claimed; 109 cannot be written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

constexpr uint8_t kAddrPower = 127;
constexpr uint8_t kAddrProgReg1 = 104;
constexpr uint8_t kAddrProgReg2 = 105;
constexpr uint8_t kAddrProgCommand = 106;
constexpr uint8_t kAddrProgStatus = 109;

constexpr uint8_t kReadFiller = 0x20;
constexpr uint8_t kPowerOnValue = 0x80;
constexpr uint8_t kProgInUse = 0x40; // status bit 6
constexpr uint8_t kProgReady = 0x20; // status bit 5

// Programmer commands (values written to 106).
constexpr uint8_t kProgRelease = 0;
constexpr uint8_t kProgClaim = 64;
constexpr uint8_t kProgPrepareRead = 193;
constexpr uint8_t kProgRead = 129;
constexpr uint8_t kProgWrite = 201;

// A half request older than this is taken for garbage.
constexpr uint32_t kRequestGapMs = 50;

// One complete request as the unit understood it.
struct RequestEvent {
    bool write;
    uint8_t addr;
    uint8_t value; // written, or answered (before any fault switch)
    bool answered; // a read whose answer went out (not silenced or dropped)
};

// How long the programmer takes for each step, in milliseconds.
struct ProgrammerTiming {
    uint32_t claimMs = 80;
    uint32_t loadMs = 150;
    uint32_t writeMs = 200;
    uint32_t releaseMs = 30;
};

class SelectrixModel {
  public:
    SelectrixModel();

    // Feeds bytes from the PC (received at `nowMs` on the tick counter) and returns what the
    // interface answers, possibly nothing.
    // With `events`, every complete request is appended to it.
    std::string Feed(const std::string& bytes, uint32_t nowMs,
                     std::vector<RequestEvent>* events = nullptr);
    // Lets the programmer's timed steps that are due by `nowMs` complete.
    void Advance(uint32_t nowMs);

    // The bus as the unit holds it; 109 and 127 read as the PC would see them.
    uint8_t Bus(uint8_t addr) const;
    // Sets an address as a device on the bus would (no feedback marking, no programmer command;
    // 127 sets the power, 109 follows the programmer and ignores it).
    void SetBus(uint8_t addr, uint8_t value);

    bool TrackPower() const { return trackPower_; }
    void SetTrackPower(bool on) { trackPower_ = on; }
    // A feedback unit at `addr` reports `inputs` (bit 0 = input 1); PC writes no longer stick.
    void SetFeedback(uint8_t addr, uint8_t inputs);

    // The decoder on the programming track (registers 3 and 10 until set).
    void SetProgrammingDecoder(uint8_t reg104, uint8_t reg105);
    std::pair<uint8_t, uint8_t> ProgrammingDecoder() const { return {decoder104_, decoder105_}; }
    void SetProgrammerTiming(const ProgrammerTiming& timing) { timing_ = timing; }
    ProgrammerTiming Timing() const { return timing_; }

    // Fault switches.
    void SetSilent(bool silent) { silent_ = silent; }
    void SetCorruptAnswers(bool on) { corrupt_ = on; } // answers the inverted byte
    void SetDropEvery(int n) { // drops every n-th answer from now on (0 = never)
        dropEvery_ = n > 0 ? n : 0;
        answersDue_ = 0;
    }
    void SetExtraAnswerBytes(const std::string& extra) { extra_ = extra; } // sent after each answer
    void SetProgrammerBusy(bool busy) { progBusy_ = busy; }                // held by someone else
    void SetProgrammerNeverReady(bool on) { progNeverReady_ = on; }        // bit 5 never comes

    // Counters for tests.
    uint64_t RequestsHandled() const { return requests_; }
    uint64_t BytesDiscarded() const { return discarded_; }

  private:
    enum class Pending { None, Claim, Load, Write, Release };

    void Request(uint8_t first, uint8_t second, uint32_t nowMs, std::string& answer,
                 std::vector<RequestEvent>* events);
    void Write(uint8_t addr, uint8_t value, uint32_t nowMs);
    void Command(uint8_t command, uint32_t nowMs);
    void Schedule(Pending what, uint32_t delayMs, uint32_t nowMs);
    void Complete(Pending what);
    uint8_t Status() const;
    bool Answer(uint8_t value, std::string& answer);

    uint8_t bus_[128] = {};
    bool feedback_[128] = {};
    bool trackPower_ = false;

    std::optional<uint8_t> half_; // first byte of a request waiting for its second
    uint32_t halfAtMs_ = 0;

    // Programmer
    uint8_t decoder104_ = 3;
    uint8_t decoder105_ = 10;
    bool claimed_ = false;
    bool ready_ = true;
    bool readArmed_ = false;
    Pending pending_ = Pending::None;
    uint32_t pendingDueMs_ = 0;
    uint8_t write104_ = 0, write105_ = 0;
    ProgrammerTiming timing_;

    bool silent_ = false;
    bool corrupt_ = false;
    int dropEvery_ = 0;
    std::string extra_;
    bool progBusy_ = false;
    bool progNeverReady_ = false;

    uint64_t answersDue_ = 0;
    uint64_t requests_ = 0;
    uint64_t discarded_ = 0;
};

} // namespace sim

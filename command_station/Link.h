// What every system's link does for the component. TMivoCom holds exactly
// one link, the one SetDigitaalSysteem picked, and hands it the operations
// that every system answers in its own way; the link owns that system's
// working state (queues, held-back commands, deadlines) and its exchanges
// over the port, which it reaches through the component it belongs to.
//
// The defaults are what a system without the feature does: send nothing,
// keep nothing back.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace command_station {

class TMivoCom;

// Functions 1 to 4 of a locomotive command.
using TFuncties = std::array<bool, 4>;

// The text StuurLoc hands to OnAlgTekst, e.g.
// "Adres: 3 snelheid: 10 licht aan achteruit(----)"; without the direction
// for a system whose command carries none (Märklin).
std::string LocoText(uint16_t adres, uint8_t snelheid, bool licht, bool vooruit,
                     const TFuncties& functies, bool namesDirection);

// The log line for `bytes` without its line end: the tick counter, ": ", then
// at most the first 100 bytes in decimal separated by "/".
std::string LogLine(uint32_t tick, const std::string& bytes);

// A send queue or hold-back list: byte strings in order, the head first.
using ByteQueue = std::deque<std::string>;

// StuurLoc's arguments.
struct LocoCommand {
    uint16_t address = 0;
    uint8_t speed = 0;
    bool light = false;
    bool forward = true;
    TFuncties functions{};
    uint8_t lenzSteps = 0;
    uint8_t ibSteps = 0;
    bool ibOldProtocol = false;
};

// GetBezetmelder's arguments: the serial card's request value and second
// flag, Märklin's "read all modules" (the card's first flag).
struct FeedbackRequest {
    uint8_t address = 0;
    uint8_t request = 0;
    bool flag1 = false;
    bool flag2 = false;
};

class Link {
  public:
    explicit Link(TMivoCom& com) : com_(com) {}
    virtual ~Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // The system's column of the port profile, applied over the common
    // settings inside SetDigitaalSysteem's settings batch.
    virtual void ApplyProfile() {}

    // GetVerbindingOke and GetSysteemNoodstop, with the port open.
    virtual bool ConnectionOk() = 0;
    virtual bool EmergencyStop() = 0;
    // ZetSysteemAan and ZetSysteemUit with the port open; each keeps
    // SysteemAan. By default nothing is sent and the switch is accepted.
    virtual bool PowerOn();
    virtual void PowerOff();
    // Switches the track off where PowerOff does less; PowerOff by default.
    virtual void TrackPowerOff() { PowerOff(); }
    // The locomotive command and the feedback read (the port open for the
    // latter); the result text as StuurLoc and GetBezetmelder return it.
    virtual void Loco(const LocoCommand&, std::string&) {}
    virtual void Feedback(const FeedbackRequest&, std::string&) {}
    // Whether the text StuurLoc raises names the direction.
    virtual bool LocoTextNamesDirection() const { return true; }
    // InitSysteem's step for this system (LaatsteFout already emptied).
    virtual bool Initialise() { return true; }

    // OnBeforeOpen (port still closed) and OnBeforeClose (port still open).
    // Closing switches off what the component switched on.
    virtual void BeforeOpen() {}
    virtual void BeforeClose();

    // Every transmission of VerstuurBytes: writes when the port is open and
    // logs when the file log is on. A system that paces its line waits here.
    virtual void Transmit(const std::string& bytes);
    // Bytes received from the line, for a system that reads them as a stream.
    virtual void Received(const std::string&) {}

    // One step for a host's idle time: send what is queued or held back and
    // now due. Never blocks beyond the writes it makes.
    virtual void IdleStep() {}
    // Is anything still queued or held back?
    virtual bool Pending() const { return false; }
    // Lets out what is queued or held back, within the system's own bounds
    // (before a close). A wait that serves the port's deliveries (Lenz) ends
    // early once `stop` returns true.
    virtual void Drain(const std::function<bool()>& stop) { (void)stop; }

  protected:
    // Lets the host's window messages through, then blocks a few ms at most
    // (never past `remainingMs`), so a wait that handles messages does not
    // burn the processor.
    static void ProcessMessagesBriefly(uint32_t remainingMs);
    // Sleeps `ms` in slices, asking the host between them whether to stop
    // (HostServices::CheckInterrupt); no window messages are let through.
    static void Pause(uint32_t ms);
    // One byte read with the port's time-outs, retried for `ms`: true when
    // one came. A host whose time-outs make reads return at once does not
    // turn this into a spin.
    bool ReadOneByteWithin(uint32_t ms);

    TMivoCom& com_;
};

} // namespace command_station

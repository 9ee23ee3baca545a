// Lenz. Every command goes through one ordered queue (LenzQueue.cpp): only
// the head is on the line; it stays there until the parser reports its
// answer (LenzOpdrachtKlaar) and goes again when no answer came in time.
// Each transmission computes the XOR byte afresh, may wait for a quiet line
// first, and records what answer completes the command.
//
// The interface also talks on its own (feedback changes, locomotives taken
// over by hand controllers, emergency stops, power changes). Received chunks
// arrive through the port's OnRxChar and collect in LenzInvoer; the parser
// (LenzParser.cpp) cuts them into messages, checks each XOR byte, hunts for
// the next message start after a corrupted one, raises OnLenzDoeIets, logs
// through OnLenzAddTekst and tells the queue when the command in flight has
// been answered.
#pragma once

#include "command_station/Link.h"

#include <string_view>

namespace serial {
class TCustomComPort;
}

namespace command_station::lenz {

class LenzLink final : public Link {
  public:
    using Link::Link;
    void ApplyProfile() override;
    bool ConnectionOk() override { return GetLenzVersie() > 0.0; }
    bool EmergencyStop() override { return false; }
    bool PowerOn() override;
    void PowerOff() override;
    // Track power off (21 80), queued and answered like power off.
    void TrackPowerOff() override;
    void Loco(const LocoCommand& c, std::string& result) override;
    void Feedback(const FeedbackRequest& r, std::string& result) override;
    void BeforeOpen() override { LenzSynchroniseren = false; }
    void BeforeClose() override;
    void Received(const std::string& bytes) override { LenzOntvangBytes(bytes); }
    void IdleStep() override { LenzZend(std::string()); }
    bool Pending() const override { return !LenzRij.empty(); }
    // Serves the port's deliveries and resends until the queue is empty, for
    // at most a second.
    void Drain(const std::function<bool()>& stop) override;

    // The interface's version, 0 when none came within a second.
    double GetLenzVersie();
    // The port's OnRxChar while the Lenz profile is selected: reads `Count`
    // bytes and runs the parser.
    void LenzOntvang(serial::TCustomComPort* Sender, int Count);
    // What LenzOntvang does with a chunk once it is read (also without a port).
    void LenzOntvangBytes(const std::string& brok);
    // Cuts LenzInvoer into messages and acts on each whole one.
    void LenzVerwerk();
    // Appends `opdracht` (may be empty) and sends or resends the head when allowed.
    void LenzZend(const std::string& opdracht);
    // The head has been answered: drop it and send the next.
    void LenzOpdrachtKlaar();
    // True when every bit of `categorie` is set in LenzLogMasker.
    bool LenzLogAan(uint16_t categorie) const;

    std::string LenzInvoer;          // received, not yet parsed (under 17 bytes after parsing)
    bool LenzSynchroniseren = false; // hunting for a message start
    int32_t LenzVerlorenBytes = 0;   // dropped since the hunt began
    int32_t LenzStilteTot = 0;       // tick; one further ahead than LenzStilteTijd has passed
    double LenzVersie = 0.0;
    // Reply deadline of the command in flight: 0 = none, 1 = resend at once,
    // anything else a tick. A deadline has passed once the counter is past
    // it (not on it), or when it lies further ahead than LenzAntwoordTijd.
    int32_t LenzAntwoordTot = 0;
    ByteQueue LenzRij; // commands without XOR; the head is in flight
    // What the command in flight waits for.
    int16_t VerwachtBezetAdres = 0; // feedback address + 1; -1 = none
    uint8_t VerwachtNibble = 0;     // 255 = none, 0 = any, 16 = upper nibble
    int16_t VerwachtLocAdres = 0;   // -1 = none
    std::string VerwachtLocV3;      // address bytes of a version-3 status request
    uint8_t WachtAllesAan = 0;      // all-on broadcasts still awaited
    uint8_t WachtNoodstop = 0;      // emergency-stop broadcasts still awaited

  private:
    void Log(uint16_t categorie, std::string_view tekst);
    bool ReplyOverdue() const;
    void AwaitQuiet();
    void SwitchOffForClose();
    void LetPowerOffLeave();
    // Message handlers (LenzParser.cpp).
    void HandleMessage(const std::string& message);
    void HandleFeedback(const std::string& message);
    void HandleOldLoco(const std::string& message);
    void HandleLocoV3(const std::string& message);
    bool parsing_ = false; // LenzVerwerk is running (a handler may re-enter)
};

} // namespace command_station::lenz

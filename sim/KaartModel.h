// The simulated serial card in a rack of feedback modules: bytes in (with the line rate they
// were sent at), answer bytes out, plus one timed step; no threads and no I/O (KaartSim runs it
// behind a pseudo-terminal).
//
// The card as modelled:
// - It starts at 9600 baud and understands only bytes sent at its own rate; anything else is
//   noise to it and dropped (counted). The rate is read from the pty, i.e. what the PC set.
// - A byte below 0x80 where a request would start is a configuration byte: the card echoes it
//   at its current rate, takes bits 0, 1, 2 and 4 as its options, and with bit 3 set moves to
//   19200 baud once the echo is out.
// - A request is two bytes: 0x80 + module (0..63), then the request value plus 0x40 or 0x50,
//   plus 0x20 for modules 64..127 (the first byte then carries module - 64). The card answers
//   the first byte again, then the module's feedback byte. A first byte above 0xBF is no
//   request and is dropped with its second byte.
// - 0x80 with no second byte within kKaartProbeGapMs is the connection probe: one byte back.
//   Any other first byte left alone that long is dropped.
// - Reset: a real card is reset by a DTR pulse, which the PC gives at every close; a pty carries
//   no DTR. The card therefore takes the PC's line falling from 19200 back to 9600 baud for that
//   pulse (the PC always opens the card at 9600), and Reset() does it by hand. A PC that never
//   switched to 19200 does not reset the card this way, so a card moved to 19200 then stays
//   deaf to it, as a real one would.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

constexpr uint8_t kKaartProbe = 0x80;
constexpr uint8_t kKaartProbeAnswer = 0x80;
constexpr uint32_t kKaartProbeGapMs = 20;
constexpr uint8_t kKaartFastBit = 0x08;

class KaartModel {
  public:
    // Bytes from the PC at `nowUs`, sent at `baud`; returns the answer, possibly empty.
    std::string Feed(const std::string& bytes, unsigned baud, uint64_t nowUs);
    // The probe's timed step, due at NextDueUs() (0: none); returns what it sends.
    std::string Advance(uint64_t nowUs);
    uint64_t NextDueUs() const;
    // Whether bytes sent at `baud` now reach the card (the reset a fall to 9600 stands for
    // included).
    bool Hears(unsigned baud) const { return baud == baud_ || FallIsReset(baud); }

    unsigned Baud() const { return baud_; }
    int LastConfig() const { return config_; } // -1 before the first
    uint64_t Configurations() const { return configurations_; }
    uint64_t Requests() const { return requests_; }
    uint64_t Probes() const { return probes_; }
    uint64_t BytesDropped() const { return dropped_; }
    void SetModule(uint8_t module, uint8_t inputs) { modules_[module & 0x7F] = inputs; }
    uint8_t Module(uint8_t module) const { return modules_[module & 0x7F]; }
    void Reset();

    // Fault switches.
    void SetSilent(bool on) { silent_ = on; }
    // Echo this byte instead of the configuration byte (-1: the right one).
    void SetWrongEcho(int value) { wrongEcho_ = value; }
    void SetOneByteAnswers(bool on) { oneByte_ = on; } // requests get the first byte only

  private:
    std::string Take(uint8_t b, uint64_t nowUs);
    bool FallIsReset(unsigned baud) const {
        return lastLineBaud_ == 19200 && baud == 9600 && baud_ == 19200;
    }

    unsigned baud_ = 9600;
    unsigned lastLineBaud_ = 0;
    int config_ = -1;
    int pending_ = -1;
    uint64_t pendingAtUs_ = 0;
    std::array<uint8_t, 128> modules_{};
    uint64_t configurations_ = 0, requests_ = 0, probes_ = 0, dropped_ = 0;
    bool silent_ = false;
    int wrongEcho_ = -1;
    bool oneByte_ = false;
};

} // namespace sim

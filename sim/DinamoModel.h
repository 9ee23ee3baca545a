// The simulated DINAMO system on its PC link: bytes from the PC in, answer bytes out, no
// threads and no I/O (DinamoSim runs it behind a pseudo-terminal).
//
// The link as modelled:
// - Frames both ways: a header (bits 0-1 the number n of data bytes, 0..3; bit 4 hold and
//   bit 5 fault in the DINAMO's frames; bit 6 the toggle; bit 7 clear), n data bytes and a check
//   byte with bit 7 set that makes the sum of all bytes of the frame a multiple of 128.
// - Bytes with bit 7 set where a header belongs are skipped; a frame with a wrong check byte is
//   dropped unanswered (the PC resends it after its time-out).
// - Every valid frame is answered with exactly one frame carrying the hold and fault bits, the
//   toggle of the frame it answers, and the next queued report, if any.
// - The toggle pairs frames with answers: a frame whose toggle equals the previous frame's is a
//   repeat (the PC missed the answer). It is answered again with the same report, and its
//   command is not carried out a second time. The first frame after start is always new.
// - The fault reset is the single data byte 0x94. A fault switched on stays until the given
//   number of resets has arrived after the switch.
// - Reports the DINAMO sends, by their first data byte b1: occupancy input k (1..128) b1 =
//   0x04, or 0x06 when occupied, then k - 1; magnet k (1..128) b1 = 0x02 + state, then k - 1;
//   block k (1..32) b1 = 0x40 + k - 1, then its 7-bit value.
// - The line is 9600 baud, 8 data bits, odd parity, 1 stop bit. A pseudo-terminal carries no
//   parity at all (the kernel forces 8 bits without it on both sides), so parity errors cannot
//   be simulated and the parity setting cannot be read back here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr uint8_t kDinamoResetCommand = 0x94;
// The bits of a frame's header besides the count of data bytes.
enum DinamoHeaderBit : uint8_t { kDinamoHold = 0x10, kDinamoFault = 0x20, kDinamoToggle = 0x40 };

// The check byte that completes `bytes` (header and data) to a frame.
uint8_t DinamoCheckByte(const std::string& bytes);

// One valid frame from the PC as the DINAMO handled it.
struct DinamoFrameEvent {
    uint64_t atUs = 0; // platform::MicroNow() when it arrived (set by the transport)
    uint8_t toggle = 0;
    std::string data;
    bool repeat = false;   // same toggle as the frame before: not carried out again
    bool answered = false; // an answer was sent (not silenced)
    std::string answer;    // the answer frame as sent
};

class DinamoModel {
  public:
    // Feeds bytes from the PC and returns the answers, possibly none. With `events`, every
    // valid frame is appended to it.
    std::string Feed(const std::string& bytes, std::vector<DinamoFrameEvent>* events = nullptr);

    // Reports to send, one per answer, in order.
    void QueueOccupancy(uint8_t input, bool occupied); // input 1..128
    void QueueMagnet(uint8_t magnet, bool state);      // magnet 1..128
    void QueueBlock(uint8_t block, uint8_t value);     // block 1..32, value 0..127
    void QueueRaw(const std::string& data);            // any data bytes; a frame holds the first 3
    size_t ReportsWaiting() const { return reports_.size(); }

    // Switches.
    void SetHold(bool on) { hold_ = on; }
    // Fault on until `resetsToClear` resets (at least 1) have arrived; off clears it at once.
    void SetFault(bool on, int resetsToClear = 1);
    void SetBadCheckNext() { badCheckNext_ = true; } // the next answer has a wrong check byte
    void SetSilent(bool on) { silent_ = on; }        // frames are neither answered nor carried out

    bool Hold() const { return hold_; }
    bool Fault() const { return fault_; }
    // Data of every frame carried out, in order (empty frames left out).
    const std::vector<std::string>& Commands() const { return commands_; }
    uint64_t ResetsReceived() const { return resets_; }
    uint64_t FramesAnswered() const { return answered_; }
    uint64_t FramesRejected() const { return rejected_; } // wrong check byte
    uint64_t BytesSkipped() const { return skipped_; }    // bit 7 set where a header belongs

  private:
    void Frame(const std::string& frame, std::string& out, std::vector<DinamoFrameEvent>* events);

    std::string input_;
    std::deque<std::string> reports_;
    std::optional<uint8_t> lastToggle_;
    std::string lastReport_;
    bool hold_ = false;
    bool fault_ = false;
    int resetsToClear_ = 0;
    bool badCheckNext_ = false;
    bool silent_ = false;
    std::vector<std::string> commands_;
    uint64_t resets_ = 0;
    uint64_t answered_ = 0;
    uint64_t rejected_ = 0;
    uint64_t skipped_ = 0;
};

} // namespace sim

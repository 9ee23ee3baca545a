// A simulated DINAMO system on its PC link.
//
// DinamoModel is the DINAMO itself: bytes from the PC in, answer bytes out, no threads and no
// I/O. DinamoSim runs a model behind the master side of a pseudo-terminal on a thread of its
// own; the code under test opens DevicePath() like any serial device.
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

#include "sim/PtyEndpoint.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr uint8_t kDinamoResetCommand = 0x94;
constexpr uint8_t kDinamoHold = 0x10;
constexpr uint8_t kDinamoFault = 0x20;
constexpr uint8_t kDinamoToggle = 0x40;

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

// One byte as it crossed the line, stamped with platform::MicroNow().
struct DinamoByte {
    uint64_t atUs;
    uint8_t byte;
};

// The transport: a raw pty from the start (slave side too), with a slave descriptor of its own
// kept open so the code under test may close and re-open DevicePath() freely.
class DinamoSim {
  public:
    // Opens the pty and starts serving; throws std::runtime_error on failure. With a
    // `recordLimit`, only the newest bytes and frames are kept in the records.
    explicit DinamoSim(size_t recordLimit = 0);
    ~DinamoSim();
    DinamoSim(const DinamoSim&) = delete;
    DinamoSim& operator=(const DinamoSim&) = delete;

    const std::string& DevicePath() const { return pty_.Path(); }

    void QueueOccupancy(uint8_t input, bool occupied);
    void QueueMagnet(uint8_t magnet, bool state);
    void QueueBlock(uint8_t block, uint8_t value);
    void QueueRaw(const std::string& data);
    size_t ReportsWaiting();

    void SetHold(bool on);
    void SetFault(bool on, int resetsToClear = 1);
    void SetBadCheckNext();
    void SetSilent(bool on);
    void SetAnswerDelayMs(int ms); // every answer leaves this much later
    bool Hold();
    bool Fault();

    std::vector<std::string> Commands();
    uint64_t ResetsReceived();
    uint64_t FramesRejected();
    uint64_t BytesSkipped();
    // Every valid frame from the PC, with what was answered.
    std::vector<DinamoFrameEvent> Frames();
    std::vector<DinamoByte> ReceivedBytes();
    std::vector<DinamoByte> SentBytes();
    void ClearRecords(); // bytes and frames
    // Block (no spinning) until at least n bytes / frames were received since the last clear, or
    // the timeout passed.
    bool WaitForReceived(size_t n, int timeoutMs);
    bool WaitForFrames(size_t n, int timeoutMs);

    // Puts bytes on the line towards the PC outside the exchange (garbage, forged frames).
    void SendUnsolicited(const std::string& bytes);

    // Bits per second the PC set, read from the pty (0 when unknown), and its stop bits.
    unsigned Baud();
    bool TwoStopBits();

    // Called on the simulator's thread for each valid frame (not under any lock).
    void SetFrameMonitor(std::function<void(const DinamoFrameEvent&)> monitor);

  private:
    void HandleInput(const char* data, size_t n);
    void FlushDue();

    std::mutex mutex_;
    std::condition_variable changed_;
    DinamoModel model_;
    size_t recordLimit_;
    std::deque<DinamoByte> received_;
    std::deque<DinamoByte> sent_;
    std::deque<DinamoFrameEvent> frames_;
    size_t receivedCount_ = 0;
    size_t frameCount_ = 0;
    PtyOutbox outgoing_;
    std::function<void(const DinamoFrameEvent&)> monitor_;
    int answerDelayMs_ = 0;
    PtyEndpoint pty_; // last: its thread stops before the state above goes
};

} // namespace sim

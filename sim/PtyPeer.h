// A byte-stream peer behind the master side of a pseudo-terminal, for simulated devices whose
// model is a PeerModel: bytes in (with the line rate the PC set) → answer bytes out, plus timed
// steps of its own. One thread sleeps in poll() until the PC sends something, an answer or a
// timed step falls due, or a setter wakes it.
//
// The pty is raw from the start, and the peer keeps a slave descriptor of its own open, so the
// code under test may close and re-open DevicePath() as often as it likes without the master
// hanging up. The line rate is read from the master side (on Linux TCGETS2 on the master
// reports the slave's settings). Parity, modem lines (CTS, DTR) and break do not cross a pty.
#pragma once

#include "sim/PtyEndpoint.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// One byte as it crossed the line, stamped with platform::MicroNow() (bytes that arrived in
// one chunk share their stamp).
struct LineByte {
    uint64_t atUs;
    uint8_t byte;
};

// What the PC set on the line, read back from the pty.
struct PeerLine {
    unsigned baud = 0; // bits per second, 0 when unknown
    bool twoStopBits = false;
    bool rtsCts = false;
};

// Reads the settings of the pty behind `fd` (the master side reports the slave's); false when
// the call fails.
bool ReadPeerLine(int fd, PeerLine& line);

class PeerModel {
  public:
    virtual ~PeerModel() = default;
    // Bytes from the PC at `nowUs`, sent at `baud`; returns the answer (possibly empty).
    virtual std::string Feed(const std::string& bytes, unsigned baud, uint64_t nowUs) = 0;
    // Timed steps due by `nowUs`; returns what they send.
    virtual std::string Advance(uint64_t) { return {}; }
    // When Advance wants to run next (MicroNow time), 0 for never.
    virtual uint64_t NextDueUs() const { return 0; }
};

class PtyPeer {
  public:
    // `model` is not owned and is only touched under Mutex(). Throws std::runtime_error when
    // the pty cannot be made.
    explicit PtyPeer(PeerModel& model, const char* name);
    ~PtyPeer(); // stops the thread, closes the pty
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& DevicePath() const { return pty_.Path(); }
    // Guards the model: hold it to read or change the model from another thread.
    std::mutex& Mutex() { return mutex_; }
    // Call after changing the model under Mutex() when a timed step may have moved.
    void Wake();

    std::vector<LineByte> Received();
    std::vector<LineByte> Sent();
    void ClearRecords();
    // Block (no spinning) until at least n bytes were received / sent since the last clear.
    bool WaitForReceived(size_t n, int timeoutMs);
    bool WaitForSent(size_t n, int timeoutMs);

    PeerLine Line();
    void SetAnswerDelayMs(int ms);

  private:
    void HandleInput(const char* data, size_t n);
    void Queue(std::string bytes, uint64_t nowUs); // mutex held
    void FlushDue();                     // runs a timed step that is due, then sends what is due
    int PollTimeoutMs(bool& wantOutput); // mutex held
    PeerLine LineLocked();               // mutex held

    PeerModel& model_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<LineByte> received_, sent_;
    PtyOutbox outgoing_;
    int answerDelayMs_ = 0;
    PtyEndpoint pty_; // last: its thread stops before the state above goes
};

} // namespace sim

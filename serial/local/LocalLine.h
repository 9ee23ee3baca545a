// A serial line inside this program: a port on one end (LocalComDevice), a
// peer served by a thread of the same program on the other (a simulated
// command station), and no operating-system device between them. Bytes wait
// in a bounded queue in each direction until the other end takes them; the
// line settings the port hands over are what the peer reads back. Built on
// one mutex and two condition variables only, so it is the same on every
// platform.
//
// A peer creates its line under a name ("sim:selectrix"); a port of that name
// opens it while the line lives, one port at a time, like an exclusive open.
// When the peer hangs up, the name is free again and the port's calls fail
// with EIO, as on a line whose device went away.
//
// What the port sees: CTS, DSR and carrier always on; DTR, RTS and break
// change nothing; no line errors. Bytes the line took count as sent (the
// output queue is always empty), as on a pseudo-terminal; a transmit purge
// still drops those the peer has not taken yet. Parity, data bits and the XON/XOFF settings
// are kept but not acted on (bytes arrive as sent). Null discard and the event
// character are honoured. Events: EV_RXCHAR and EV_RXFLAG as the peer's bytes
// arrive, EV_RX80FULL when they take the receive queue to 80 %, EV_TXEMPTY
// when the peer has taken the last byte the port wrote.
#pragma once

#include "serial/ComDevice.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace serial {

// True for the names of in-process lines: "sim:" and at least one more
// character.
bool IsLocalPortName(const std::string& name);

class LocalLine {
  public:
    // Each direction holds at most this many bytes; a writer then waits.
    static constexpr size_t kQueueBytes = 4096;

    // A new line under `name`, or under `name` followed by "-2", "-3", ...
    // when a live line has that name already. A name IsLocalPortName refuses
    // throws std::invalid_argument.
    static std::shared_ptr<LocalLine> Create(const std::string& name);
    // The live line of that name, or null.
    static std::shared_ptr<LocalLine> Find(const std::string& name);

    ~LocalLine();
    LocalLine(const LocalLine&) = delete;
    LocalLine& operator=(const LocalLine&) = delete;

    const std::string& Name() const { return name_; }

    // ---- The port's end. Every call returns 0 or one of the platform's
    // codes (serial/DefaultDevice.h): oserr::kClosed while not attached,
    // oserr::kGone once the peer has hung up.

    // Takes the line for one port: oserr::kBusy while another holds it. Starts with
    // an empty receive queue and no events; the settings stay as last set.
    int Attach();
    // Lets the line go. Bytes the port wrote stay for the peer (the last
    // request before a close still arrives); waits of the port end.
    void Detach();

    int SetState(const Dcb& dcb);
    int Read(void* buffer, size_t count, size_t& done);
    int Write(const void* buffer, size_t count, size_t& done);
    // Block until there is something to read / room to write (a hang-up
    // counts as ready) or `timeoutMs` passed (-1: no limit).
    int WaitReadable(int timeoutMs, bool& ready);
    int WaitWritable(int timeoutMs, bool& ready);
    // The receive queue; the output queue is always empty.
    int Status(ComStatus& status);
    int Purge(uint32_t flags);
    int Check() const; // 0 while the line is usable

    // SetCommMask(0) ends a pending wait (mask 0); a new mask drops the events
    // collected so far and ends an interruption.
    int SetCommMask(uint32_t mask);
    // Blocks until a masked event happened, the mask changed or the wait is
    // interrupted (mask 0). Detach ends it with oserr::kClosed, a hang-up with
    // oserr::kGone.
    int WaitCommEvent(uint32_t& mask);
    // Ends a pending wait, and every wait that begins after, until the next
    // SetCommMask with a non-empty mask or the next Attach.
    void InterruptEventWait();

    // ---- The peer's end; never blocks except in PeerWait.

    // What the port wrote, up to `count` bytes; 0 when nothing waits.
    size_t PeerRead(char* buffer, size_t count);
    // Hands bytes to the port's receive queue, as many as there is room for,
    // and returns that count. Bytes sent while no port holds the line are lost
    // on the way, as on a real line: they all count as taken.
    size_t PeerWrite(const char* data, size_t count);
    // The settings the port handed over last (9600 baud, 8N1 at first).
    Dcb PeerSettings() const;
    // Blocks until the port wrote something, PeerWake() was called, (with
    // `wantRoom`) the receive queue has room, or `timeoutMs` passed (-1: no
    // limit).
    void PeerWait(int timeoutMs, bool wantRoom);
    void PeerWake();
    // The peer is gone for good: the name is free, the port's waits end and
    // its calls fail with EIO.
    void HangUp();

  private:
    explicit LocalLine(std::string name);
    int CheckLocked() const;
    void Raise(uint32_t events); // mutex held
    bool RoomTowardsPort() const { return toPort_.size() < kQueueBytes; }

    const std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable portChanged_; // what the port's waits wait for
    std::condition_variable peerChanged_; // what the peer's wait waits for

    bool attached_ = false;
    bool hungUp_ = false;
    bool peerWake_ = false;
    Dcb dcb_;
    std::deque<char> toPeer_; // written by the port, not yet taken by the peer
    std::deque<char> toPort_; // sent by the peer, not yet read by the port

    uint32_t eventMask_ = 0;
    uint32_t eventsSeen_ = 0;     // masked events since the last report
    uint64_t maskGeneration_ = 0; // bumped by SetCommMask: a pending wait ends
    bool interrupted_ = false;
};

} // namespace serial

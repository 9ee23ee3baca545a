// A serial line on another machine, reached over TCP with the Telnet
// com-port control option (as ser2net and terminal servers offer it). The
// port object chooses it for names of the form "rfc2217://HOST:PORT".
//
// The socket is only read when someone needs what is on it: a read, a wait,
// the event thread. Whoever reads it decodes the Telnet stream into the data
// queue and the line state, under one mutex, and wakes the other waiters
// through event descriptors, so every wait blocks in poll().
//
// Acknowledgements: the server answers each com-port request with the value
// it took. Only the bit rate's answer is waited for (it is sent last of the
// line settings, so its answer also means the others have been applied): it
// tells a rate the server did not take, and a program that sets the rate and
// then talks expects the far line to run at it. Modem-line, break, flow
// control and purge requests are sent without waiting: servers differ in
// answering them (ser2net on a pseudo-terminal leaves DTR/RTS unanswered) and
// a purge before every request would otherwise cost a round trip each.
#pragma once

#include "serial/ComDevice.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct addrinfo;

namespace serial {

// True for names the network device handles.
bool IsNetworkPortName(const std::string& name);

// "rfc2217://HOST:PORT" split; false (and `error` says why) when malformed.
// HOST may be a name, an IPv4 address or an IPv6 address in brackets.
bool ParseNetworkPortName(const std::string& name, std::string& host, uint16_t& port,
                          std::string& error);

// Time limits of the network device, in milliseconds.
struct NetLimits {
    uint32_t connectMs = 5000;     // name look-up and TCP connection together
    uint32_t negotiationMs = 3000; // the server agreeing to the com-port option
    uint32_t ackMs = 1000;         // the answer to a bit rate
    uint32_t sendMs = 3000;        // handing a control request to the socket
    uint32_t closeMs = 500;        // the server finishing after our last bytes
    uint32_t lingerMs = 20;        // beyond the line time of the last bytes, before closing
};

// Decodes the Telnet byte stream from the server. Pure: tests feed it bytes.
class TelnetDecoder {
  public:
    // Limits what one subnegotiation may hold; longer ones are skipped.
    static constexpr size_t kMaxSubnegotiation = 64;

    struct Sink {
        virtual ~Sink() = default;
        virtual void Data(uint8_t byte) = 0;
        virtual void Option(uint8_t verb, uint8_t option) = 0; // verb: WILL/WONT/DO/DONT
        virtual void Subnegotiation(const std::vector<uint8_t>& body) = 0;
    };

    void Feed(const uint8_t* bytes, size_t count, Sink& sink);
    // Subnegotiations dropped for being too long or cut short.
    uint64_t Dropped() const { return dropped_; }

  private:
    enum class State { Data, Iac, Verb, Sb, SbIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    bool overflow_ = false;
    uint64_t dropped_ = 0;
    std::vector<uint8_t> sb_;
};

class NetComDevice : public ComDevice, private TelnetDecoder::Sink {
  public:
    // Turns a host name into addresses, as getaddrinfo() does (the default);
    // tests put in one that asks a name server of theirs. It runs on a thread
    // of its own, which may outlive the device; its result is freed with
    // freeaddrinfo().
    static constexpr const char* kLookUpThreadName = "name-look-up";
    using LookUp = int (*)(const char* host, const char* service, const addrinfo* hints,
                           addrinfo** found);

    explicit NetComDevice(NetLimits limits = {}, LookUp lookUp = nullptr);
    ~NetComDevice() override;
    NetComDevice(const NetComDevice&) = delete;
    NetComDevice& operator=(const NetComDevice&) = delete;

    int Open(const std::string& name) override;
    void Close() override;
    bool IsOpen() const override { return fd_ >= 0; }

    int SetState(const Dcb& dcb) override;
    int SetTimeouts(const CommTimeouts& timeouts) override;
    int SetupQueues(int32_t inputSize, int32_t outputSize) override;

    int ReadSome(void* buffer, size_t count, size_t& done) override;
    int WriteSome(const void* buffer, size_t count, size_t& done) override;
    int WaitReadable(int timeoutMs, bool& ready) override;
    int WaitWritable(int timeoutMs, bool& ready) override;
    int OutputPending(uint32_t& count) override;

    int ClearError(ComStatus& status) override;
    int ModemStatus(uint32_t& msBits) override;
    int Purge(uint32_t flags) override;
    int EscapeFunction(Escape fn) override;

    int SetCommMask(uint32_t mask) override;
    int WaitCommEvent(uint32_t& mask, int stopFd) override;

    std::string FailureDetail() const override;

    // The received data queue stops growing here; the server then waits.
    static constexpr size_t kMaxQueued = 64 * 1024;
    // Nor is the socket read while this much waits to be sent: answers to
    // the server's options would pile up behind a server that does not read.
    // Above the largest write (16 KiB, every byte doubled).
    static constexpr size_t kMaxUnsent = 64 * 1024;

  private:
    // TelnetDecoder::Sink, called with mutex_ held.
    void Data(uint8_t byte) override;
    void Option(uint8_t verb, uint8_t option) override;
    void Subnegotiation(const std::vector<uint8_t>& body) override;

    // All below with mutex_ held.
    int Pump();  // reads what the socket holds now; 0, or EIO once the link is gone
    int Flush(); // sends queued output as far as the socket takes it
    int SendQueued(std::unique_lock<std::mutex>& lock); // sends out_ within sendMs
    int SendQueued(std::unique_lock<std::mutex>& lock, uint32_t limitMs);
    void QueueComPort(uint8_t command, const std::vector<uint8_t>& value);
    int Fail(int err, const std::string& what);
    void Signal(uint32_t events);
    void Reply(uint8_t verb, uint8_t option);
    size_t Queued() const { return in_.size() - inHead_; }
    // Whether the socket is read now: there is room for what it holds and
    // for the answers it may need.
    bool Reading() const { return !broken_ && Queued() < kMaxQueued && out_.size() < kMaxUnsent; }
    // What to wait for on the socket (POLLIN, POLLOUT or nothing).
    short SocketEvents() const;

    int Connect(const std::string& host, uint16_t port);
    // Addresses of `host` within what is left of the connection's time
    // limit since `start`; 0, or the error (and detail_ says why).
    int LookUpHost(const std::string& host, const std::string& service, uint32_t start,
                   addrinfo*& found);
    int Negotiate(std::unique_lock<std::mutex>& lock);
    // Blocks until the socket or the progress descriptor is readable, or `ms`
    // passed; releases `lock` meanwhile.
    void WaitProgress(std::unique_lock<std::mutex>& lock, int ms);

    NetLimits limits_;
    LookUp lookUp_;
    int fd_ = -1;
    int progressFd_ = -1; // readable when the socket was read by anyone
    int wakeFd_ = -1;     // wakes the event thread
    std::string where_;   // "HOST:PORT" for messages

    mutable std::mutex mutex_;
    TelnetDecoder decoder_;
    std::vector<uint8_t> in_; // decoded data not yet read
    size_t inHead_ = 0;
    std::vector<uint8_t> out_; // encoded bytes not yet taken by the socket
    int broken_ = 0;           // the error every call returns once the link is gone
    std::string detail_;

    // Telnet option states: enabled on our side / the server's side, and
    // asked for by us and not answered yet.
    std::array<bool, 256> us_{}, him_{}, usAsked_{}, himAsked_{};
    std::array<bool, 256> refused_{}; // options refused once already
    bool comPortRefused_ = false;

    uint32_t rate_ = 9600;   // the bit rate last set
    uint64_t lastWrite_ = 0; // bytes of the last write, for the line time at close
    uint64_t rateAnswers_ = 0;
    uint32_t rateAnswered_ = 0;
    uint8_t modemState_ = 0;
    uint32_t errors_ = 0;

    uint32_t mask_ = 0;
    uint32_t pending_ = 0; // events seen since the last report
    uint64_t generation_ = 0;
};

} // namespace serial

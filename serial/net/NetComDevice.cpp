// The network serial device: TCP connection, Telnet option negotiation and
// the com-port requests behind the device calls.
#include "serial/net/NetComDevice.h"

#include "platform/Tick.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace serial {
namespace {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptSga = 3, kOptComPort = 44;

// Com-port requests; the server answers with the request plus 100.
enum : uint8_t {
    kSetBaud = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kSetLineStateMask = 10,
    kSetModemStateMask = 11,
    kPurgeData = 12,
    kAnswer = 100,
    kNotifyLineState = 6,
    kNotifyModemState = 7,
};

const char* kPrefix = "rfc2217://";

// A limit in ms left of `limit` since `since`, as a poll() argument.
int LeftOf(uint32_t since, uint32_t limit) {
    uint32_t elapsed = platform::ElapsedSince(since);
    return elapsed >= limit ? 0 : static_cast<int>(limit - elapsed);
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(static_cast<uint8_t>(x >> shift));
}

void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) out.push_back(kIac);
    }
}

void Poke(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
    uint64_t v = 0;
    [[maybe_unused]] ssize_t n = ::read(fd, &v, sizeof v);
}

} // namespace

// ---------------------------------------------------------------- names

bool IsNetworkPortName(const std::string& name) {
    return name.rfind(kPrefix, 0) == 0;
}

bool ParseNetworkPortName(const std::string& name, std::string& host, uint16_t& port,
                          std::string& error) {
    if (!IsNetworkPortName(name)) {
        error = "not an rfc2217:// name";
        return false;
    }
    std::string rest = name.substr(std::strlen(kPrefix));
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "unclosed [ in the host";
            return false;
        }
        host = rest.substr(1, close - 1);
        colon = close + 1;
        if (colon >= rest.size() || rest[colon] != ':') {
            error = "no port number";
            return false;
        }
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) {
            error = "no port number";
            return false;
        }
        host = rest.substr(0, colon);
        if (host.find(':') != std::string::npos) {
            error = "an IPv6 address needs brackets";
            return false;
        }
    }
    if (host.empty()) {
        error = "no host";
        return false;
    }
    std::string digits = rest.substr(colon + 1);
    if (!digits.empty() && digits.back() == '/') digits.pop_back();
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        error = "bad port number \"" + digits + "\"";
        return false;
    }
    unsigned long value = std::stoul(digits);
    if (value < 1 || value > 65535) {
        error = "port number out of range";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// ---------------------------------------------------------------- the decoder

void TelnetDecoder::Feed(const uint8_t* bytes, size_t count, Sink& sink) {
    auto append = [this](uint8_t c) {
        if (sb_.size() < kMaxSubnegotiation)
            sb_.push_back(c);
        else
            overflow_ = true;
    };
    for (size_t i = 0; i < count; ++i) {
        const uint8_t c = bytes[i];
        switch (state_) {
        case State::Data:
            if (c == kIac)
                state_ = State::Iac;
            else
                sink.Data(c);
            break;
        case State::Iac:
            if (c == kIac) {
                sink.Data(kIac);
                state_ = State::Data;
            } else if (c >= kWill && c <= kDont) {
                verb_ = c;
                state_ = State::Verb;
            } else if (c == kSb) {
                sb_.clear();
                overflow_ = false;
                state_ = State::Sb;
            } else {
                state_ = State::Data; // NOP, GA and the like carry nothing here
            }
            break;
        case State::Verb:
            sink.Option(verb_, c);
            state_ = State::Data;
            break;
        case State::Sb:
            if (c == kIac)
                state_ = State::SbIac;
            else
                append(c);
            break;
        case State::SbIac:
            if (c == kIac) {
                append(kIac);
                state_ = State::Sb;
            } else if (c == kSe) {
                if (overflow_)
                    ++dropped_;
                else
                    sink.Subnegotiation(sb_);
                sb_.clear();
                state_ = State::Data;
            } else {
                // A command inside a subnegotiation cuts it short: drop what
                // was collected and take the byte as that command.
                ++dropped_;
                sb_.clear();
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
}

// ---------------------------------------------------------------- life cycle

NetComDevice::NetComDevice(NetLimits limits, LookUp lookUp)
    : limits_(limits), lookUp_(lookUp ? lookUp : ::getaddrinfo) {}

NetComDevice::~NetComDevice() {
    Close();
}

int NetComDevice::Fail(int err, const std::string& what) {
    detail_ = where_ + ": " + what;
    if (err == EIO && !broken_) broken_ = EIO;
    return err;
}

std::string NetComDevice::FailureDetail() const {
    std::lock_guard lock(mutex_);
    return detail_.empty() ? where_ : detail_;
}

int NetComDevice::Open(const std::string& name) {
    if (fd_ >= 0) return EBUSY;
    std::unique_lock lock(mutex_);
    detail_.clear();
    std::string host, error;
    uint16_t port = 0;
    if (!ParseNetworkPortName(name, host, port, error)) {
        where_ = name;
        detail_ = name + ": " + error;
        return EINVAL;
    }
    where_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
             std::to_string(port);
    in_.clear();
    inHead_ = 0;
    out_.clear();
    broken_ = 0;
    decoder_ = TelnetDecoder();
    us_ = him_ = usAsked_ = himAsked_ = refused_ = {};
    comPortRefused_ = false;
    rateAnswers_ = 0;
    rate_ = 9600;
    lastWrite_ = 0;
    modemState_ = 0;
    errors_ = 0;
    mask_ = pending_ = 0;

    progressFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int err = progressFd_ < 0 || wakeFd_ < 0 ? Fail(errno, std::strerror(errno)) : 0;
    if (!err) err = Connect(host, port);
    if (!err) err = Negotiate(lock);
    if (err) {
        lock.unlock();
        std::string keep = detail_;
        Close();
        std::lock_guard relock(mutex_);
        detail_ = keep;
        return err;
    }
    return 0;
}

void NetComDevice::Close() {
    std::unique_lock lock(mutex_);
    // The last bytes (a power-off, say) must reach the line: hand over what
    // is queued, say we are done and let the server finish first. Closing
    // at once lets ser2net drop what it has not passed on yet.
    if (fd_ >= 0 && !broken_ && us_[kOptComPort]) {
        const uint32_t start = platform::GetTickCount();
        // Asking for the bit rate (0 asks without setting) is answered once
        // the server has taken in every byte before it.
        const uint64_t before = rateAnswers_;
        QueueComPort(kSetBaud, {0, 0, 0, 0});
        if (SendQueued(lock, limits_.closeMs) == 0) {
            while (rateAnswers_ == before && !broken_ && fd_ >= 0) {
                int left = LeftOf(start, limits_.closeMs);
                if (left == 0) break;
                WaitProgress(lock, left);
                if (fd_ >= 0) Pump();
            }
        }
        // ser2net discards, when the connection ends, what its device has
        // not sent yet (a flush on close): give the line time to send it.
        if (fd_ >= 0 && !broken_ && lastWrite_ > 0) {
            lock.unlock();
            platform::Sleep(limits_.lingerMs +
                            static_cast<uint32_t>(std::min<uint64_t>(
                                lastWrite_ * 10000u / std::max<uint32_t>(rate_, 1), 2000)));
            lock.lock();
        }
        if (fd_ >= 0 && !broken_ && ::shutdown(fd_, SHUT_WR) == 0) {
            uint8_t buf[4096];
            for (;;) {
                int left = LeftOf(start, limits_.closeMs);
                pollfd p{fd_, POLLIN, 0};
                if (left == 0 || ::poll(&p, 1, left) <= 0) break;
                ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
            }
        }
    }
    for (int* f : {&fd_, &progressFd_, &wakeFd_}) {
        if (*f >= 0) ::close(*f);
        *f = -1;
    }
    in_.clear();
    inHead_ = 0;
    out_.clear();
}

namespace {

// A look-up given up at the time limit finishes on its own thread: it holds
// the job with the waiting side, and whoever comes last frees it; a result
// nobody waits for any more is freed there.
struct NameLookUp {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    int rc = 0;
    int err = 0; // errno, for EAI_SYSTEM
    addrinfo* found = nullptr;
};

} // namespace

int NetComDevice::LookUpHost(const std::string& host, const std::string& service, uint32_t start,
                             addrinfo*& found) {
    found = nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // An address written as such needs no name server and no thread.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) return 0;
    found = nullptr;
    hints.ai_flags = 0;

    auto job = std::make_shared<NameLookUp>();
    try {
        std::thread([job, hints, host, service, lookUp = lookUp_] {
            ::pthread_setname_np(::pthread_self(), kLookUpThreadName);
            addrinfo* result = nullptr;
            const int rc = lookUp(host.c_str(), service.c_str(), &hints, &result);
            const int err = errno;
            std::lock_guard lock(job->mutex);
            if (job->abandoned) {
                if (rc == 0 && result) ::freeaddrinfo(result);
                return;
            }
            job->rc = rc;
            job->err = err;
            job->found = rc == 0 ? result : nullptr;
            job->done = true;
            job->finished.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        return Fail(e.code().value() ? e.code().value() : EAGAIN,
                    "the name look-up cannot start (" + std::string(e.what()) + ")");
    }
    std::unique_lock lock(job->mutex);
    while (!job->done) {
        const int left = LeftOf(start, limits_.connectMs);
        if (left == 0) break;
        job->finished.wait_for(lock, std::chrono::milliseconds(left));
    }
    if (!job->done) {
        job->abandoned = true;
        return Fail(ETIMEDOUT, "the host name was not resolved within " +
                                   std::to_string(limits_.connectMs) + " ms");
    }
    if (job->rc != 0) {
        return Fail(job->rc == EAI_SYSTEM && job->err ? job->err : ENOENT,
                    std::string("host cannot be resolved (") + ::gai_strerror(job->rc) + ")");
    }
    found = job->found;
    return 0;
}

int NetComDevice::Connect(const std::string& host, uint16_t port) {
    // The look-up counts towards the time limit of the connection.
    const uint32_t start = platform::GetTickCount();
    addrinfo* found = nullptr;
    if (int err = LookUpHost(host, std::to_string(port), start, found)) return err;
    int err = ECONNREFUSED;
    for (addrinfo* a = found; a; a = a->ai_next) {
        int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int n;
            do
                n = ::poll(&p, 1, LeftOf(start, limits_.connectMs));
            while (n < 0 && errno == EINTR);
            if (n == 0) {
                err = ETIMEDOUT;
            } else {
                socklen_t len = sizeof err;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            }
        } else {
            err = rc == 0 ? 0 : errno;
        }
        if (err == 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            break;
        }
        ::close(fd);
        if (err == ETIMEDOUT) break;
    }
    ::freeaddrinfo(found);
    if (fd_ >= 0) return 0;
    if (err == ETIMEDOUT)
        return Fail(err, "no connection within " + std::to_string(limits_.connectMs) + " ms");
    return Fail(err, std::string("cannot connect (") + std::strerror(err) + ")");
}

int NetComDevice::Negotiate(std::unique_lock<std::mutex>& lock) {
    const uint32_t start = platform::GetTickCount();
    for (uint8_t opt : {kOptComPort, kOptBinary}) {
        usAsked_[opt] = true;
        out_.insert(out_.end(), {kIac, kWill, opt});
    }
    himAsked_[kOptBinary] = true;
    out_.insert(out_.end(), {kIac, kDo, kOptBinary});
    if (int err = SendQueued(lock)) return err;
    while (!us_[kOptComPort]) {
        if (broken_) return Fail(broken_, "connection closed during the negotiation");
        if (comPortRefused_) return Fail(EPROTONOSUPPORT, "the server refuses the com-port option");
        int left = LeftOf(start, limits_.negotiationMs);
        if (left == 0)
            return Fail(ETIMEDOUT, "no answer to the com-port option within " +
                                       std::to_string(limits_.negotiationMs) + " ms");
        WaitProgress(lock, left);
        Pump();
    }
    // Ask for the notifications of line errors, breaks and every modem line.
    QueueComPort(kSetLineStateMask, {0x1E});
    QueueComPort(kSetModemStateMask, {0xFF});
    return SendQueued(lock);
}

// ---------------------------------------------------------------- the socket

void NetComDevice::WaitProgress(std::unique_lock<std::mutex>& lock, int ms) {
    Drain(progressFd_);
    const short events = SocketEvents();
    pollfd p[2] = {{events ? fd_ : -1, events, 0}, {progressFd_, POLLIN, 0}};
    lock.unlock();
    int n;
    do
        n = ::poll(p, 2, ms);
    while (n < 0 && errno == EINTR);
    lock.lock();
}

short NetComDevice::SocketEvents() const {
    if (Reading()) return POLLIN;
    // Reading waits for the server to take our answers.
    return out_.size() >= kMaxUnsent ? POLLOUT : 0;
}

int NetComDevice::Pump() {
    if (broken_ || fd_ < 0) return broken_ ? broken_ : EBADF;
    // Answers to the server's options go out as they come, so that a
    // server that reads keeps the queue short.
    if (!out_.empty()) Flush();
    uint8_t buf[4096];
    bool any = false;
    for (int round = 0; round < 16 && Reading(); ++round) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            any = true;
            decoder_.Feed(buf, static_cast<size_t>(n), *this);
            if (!out_.empty()) Flush();
            if (static_cast<size_t>(n) < sizeof buf) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        any = true;
        Fail(EIO, n == 0 ? std::string("connection closed by the server")
                         : std::string("connection lost (") + std::strerror(errno) + ")");
        Signal(EV_ERR);
        break;
    }
    if (any) Poke(progressFd_);
    return broken_;
}

int NetComDevice::Flush() {
    while (!out_.empty() && !broken_) {
        ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            out_.erase(out_.begin(), out_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Fail(EIO, std::string("connection lost (") + std::strerror(errno) + ")");
    }
    return broken_;
}

int NetComDevice::SendQueued(std::unique_lock<std::mutex>& lock) {
    return SendQueued(lock, limits_.sendMs);
}

int NetComDevice::SendQueued(std::unique_lock<std::mutex>& lock, uint32_t limitMs) {
    const uint32_t start = platform::GetTickCount();
    for (;;) {
        if (int err = Flush()) return err;
        if (out_.empty()) return 0;
        int left = LeftOf(start, limitMs);
        if (left == 0) return Fail(ETIMEDOUT, "the server takes no more requests");
        pollfd p{fd_, POLLOUT, 0};
        lock.unlock();
        ::poll(&p, 1, left);
        lock.lock();
        if (fd_ < 0) return EBADF;
    }
}

void NetComDevice::QueueComPort(uint8_t command, const std::vector<uint8_t>& value) {
    out_.insert(out_.end(), {kIac, kSb, kOptComPort, command});
    AppendEscaped(out_, value.data(), value.size());
    out_.insert(out_.end(), {kIac, kSe});
}

void NetComDevice::Signal(uint32_t events) {
    const bool before = (pending_ & mask_) != 0;
    pending_ |= events;
    if (!before && (pending_ & mask_)) Poke(wakeFd_);
}

// ---------------------------------------------------------------- what the server sends

void NetComDevice::Data(uint8_t byte) {
    in_.push_back(byte);
    Signal(EV_RXCHAR);
}

void NetComDevice::Reply(uint8_t verb, uint8_t option) {
    out_.insert(out_.end(), {kIac, verb, option});
}

// Agrees to what the link needs and refuses the rest once per option; only
// changes of state are answered, so two sides cannot talk each other into a
// loop.
void NetComDevice::Option(uint8_t verb, uint8_t option) {
    const bool ours = option == kOptBinary || option == kOptSga || option == kOptComPort;
    const bool theirs = option == kOptBinary || option == kOptSga;
    switch (verb) {
    case kDo:
        if (!ours) {
            if (!refused_[option]) Reply(kWont, option);
            refused_[option] = true;
        } else if (!us_[option]) {
            us_[option] = true;
            if (!usAsked_[option]) Reply(kWill, option);
            usAsked_[option] = false;
        }
        break;
    case kDont:
        if (option == kOptComPort) comPortRefused_ = true;
        if (us_[option]) Reply(kWont, option);
        us_[option] = usAsked_[option] = false;
        break;
    case kWill:
        if (!theirs) {
            if (!refused_[option]) Reply(kDont, option);
            refused_[option] = true;
        } else if (!him_[option]) {
            him_[option] = true;
            if (!himAsked_[option]) Reply(kDo, option);
            himAsked_[option] = false;
        }
        break;
    case kWont:
        if (him_[option]) Reply(kDont, option);
        him_[option] = himAsked_[option] = false;
        break;
    default:
        break;
    }
}

void NetComDevice::Subnegotiation(const std::vector<uint8_t>& body) {
    if (body.size() < 3 || body[0] != kOptComPort) return;
    const uint8_t command = body[1];
    if (command == kAnswer + kSetBaud && body.size() >= 6) {
        rateAnswered_ = (uint32_t{body[2]} << 24) | (uint32_t{body[3]} << 16) |
                        (uint32_t{body[4]} << 8) | body[5];
        ++rateAnswers_;
    } else if (command == kAnswer + kNotifyLineState) {
        const uint8_t v = body[2];
        uint32_t errors = 0;
        if (v & 0x02) errors |= CE_OVERRUN;
        if (v & 0x04) errors |= CE_RXPARITY;
        if (v & 0x08) errors |= CE_FRAME;
        if (v & 0x10) errors |= CE_BREAK;
        errors_ |= errors;
        uint32_t events = 0;
        if (errors & (CE_OVERRUN | CE_RXPARITY | CE_FRAME)) events |= EV_ERR;
        if (errors & CE_BREAK) events |= EV_BREAK;
        if (events) Signal(events);
    } else if (command == kAnswer + kNotifyModemState) {
        const uint8_t v = body[2];
        const uint8_t changed = static_cast<uint8_t>((v ^ modemState_) & 0xF0);
        uint32_t events = 0;
        if ((changed & 0x10) || (v & 0x01)) events |= EV_CTS;
        if ((changed & 0x20) || (v & 0x02)) events |= EV_DSR;
        if ((changed & 0x80) || (v & 0x08)) events |= EV_RLSD;
        if ((v & 0x04) || ((changed & 0x40) && (v & 0x40))) events |= EV_RING;
        modemState_ = static_cast<uint8_t>(v & 0xF0);
        if (events) Signal(events);
    }
}

// ---------------------------------------------------------------- device calls

int NetComDevice::SetState(const Dcb& dcb) {
    std::unique_lock lock(mutex_);
    if (fd_ < 0) return EBADF;
    if (broken_) return broken_;
    if (dcb.BaudRate == 0) return Fail(EINVAL, "bit rate 0");
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
        return Fail(EINVAL, "line settings out of range");
    static constexpr uint8_t kParity[] = {1, 2, 3, 4, 5};
    static constexpr uint8_t kStop[] = {1, 3, 2};
    QueueComPort(kSetDataSize, {dcb.ByteSize});
    QueueComPort(kSetParity, {kParity[dcb.Parity]});
    QueueComPort(kSetStopSize, {kStop[dcb.StopBits]});
    const bool rtsHandshake = dcb.fRtsControl == 2;
    QueueComPort(kSetControl, {uint8_t(dcb.fOutxCtsFlow ? 3 : dcb.fOutX ? 2 : 1)});
    QueueComPort(kSetControl, {uint8_t(rtsHandshake ? 16 : dcb.fInX ? 15 : 14)});
    QueueComPort(kSetControl, {uint8_t(dcb.fDtrControl == 0 ? 9 : 8)});
    if (!rtsHandshake) QueueComPort(kSetControl, {uint8_t(dcb.fRtsControl == 0 ? 12 : 11)});
    std::vector<uint8_t> rate;
    Put32(rate, dcb.BaudRate);
    QueueComPort(kSetBaud, rate);
    const uint64_t before = rateAnswers_;
    rate_ = dcb.BaudRate;
    if (int err = SendQueued(lock)) return err;
    // A server that does not answer is taken to have done it: some never do.
    const uint32_t start = platform::GetTickCount();
    while (rateAnswers_ == before && !broken_) {
        int left = LeftOf(start, limits_.ackMs);
        if (left == 0) return 0;
        WaitProgress(lock, left);
        if (fd_ < 0) return EBADF;
        Pump();
    }
    if (broken_) return broken_;
    rate_ = dcb.BaudRate;
    if (rateAnswered_ != dcb.BaudRate)
        return Fail(EINVAL, "the server did not take " + std::to_string(dcb.BaudRate) +
                                " bit/s (it runs at " + std::to_string(rateAnswered_) + ")");
    return 0;
}

int NetComDevice::SetTimeouts(const CommTimeouts&) {
    return fd_ < 0 ? EBADF : 0;
}

int NetComDevice::SetupQueues(int32_t, int32_t) {
    return fd_ < 0 ? EBADF : 0;
}

int NetComDevice::ReadSome(void* buffer, size_t count, size_t& done) {
    done = 0;
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return EBADF;
    Pump();
    const size_t n = std::min(count, Queued());
    if (n == 0) return broken_;
    std::memcpy(buffer, in_.data() + inHead_, n);
    inHead_ += n;
    if (inHead_ == in_.size()) {
        in_.clear();
        inHead_ = 0;
    } else if (inHead_ > kMaxQueued / 2) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inHead_));
        inHead_ = 0;
    }
    done = n;
    return 0;
}

int NetComDevice::WriteSome(const void* buffer, size_t count, size_t& done) {
    done = 0;
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return EBADF;
    if (int err = Flush()) return err;
    // Take new bytes only once the previous ones are with the socket, so the
    // queue stays small and the count stays true.
    if (!out_.empty()) return 0;
    const size_t n = std::min<size_t>(count, 16384);
    AppendEscaped(out_, static_cast<const uint8_t*>(buffer), n);
    done = n;
    lastWrite_ = n;
    if (int err = Flush()) return err;
    if (out_.empty()) Signal(EV_TXEMPTY);
    return 0;
}

int NetComDevice::WaitReadable(int timeoutMs, bool& ready) {
    ready = false;
    std::unique_lock lock(mutex_);
    const uint32_t start = platform::GetTickCount();
    for (;;) {
        if (fd_ < 0) return EBADF;
        if (Queued() > 0 || broken_) {
            ready = true;
            return 0;
        }
        int left = timeoutMs < 0 ? -1 : LeftOf(start, static_cast<uint32_t>(timeoutMs));
        if (left == 0) return 0;
        WaitProgress(lock, left);
        if (fd_ >= 0) Pump();
    }
}

int NetComDevice::WaitWritable(int timeoutMs, bool& ready) {
    ready = false;
    std::unique_lock lock(mutex_);
    const uint32_t start = platform::GetTickCount();
    for (;;) {
        if (fd_ < 0) return EBADF;
        Flush();
        if (out_.empty() || broken_) {
            ready = true;
            return 0;
        }
        int left = timeoutMs < 0 ? -1 : LeftOf(start, static_cast<uint32_t>(timeoutMs));
        if (left == 0) return 0;
        pollfd p{fd_, POLLOUT, 0};
        lock.unlock();
        ::poll(&p, 1, left);
        lock.lock();
    }
}

int NetComDevice::OutputPending(uint32_t& count) {
    count = 0;
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return EBADF;
    if (int err = Flush()) return err;
    int unsent = 0;
    if (::ioctl(fd_, SIOCOUTQNSD, &unsent) != 0) unsent = 0;
    count = static_cast<uint32_t>(out_.size()) + static_cast<uint32_t>(std::max(unsent, 0));
    return 0;
}

int NetComDevice::ClearError(ComStatus& status) {
    status = ComStatus{};
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return EBADF;
    Pump();
    status.errors = errors_;
    errors_ = 0;
    status.inQueue = static_cast<uint32_t>(Queued());
    status.outQueue = static_cast<uint32_t>(out_.size());
    return broken_;
}

int NetComDevice::ModemStatus(uint32_t& msBits) {
    std::lock_guard lock(mutex_);
    if (fd_ < 0) return EBADF;
    Pump();
    msBits = modemState_ & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return broken_;
}

// As on a local line, the ABORT flags have nothing to cancel (no read or
// write outlives its call) and only the CLEAR flags empty a queue. The
// receive side is emptied here only: what we queued and what the socket
// holds. Asking the server to purge its receive buffer would race with the
// answer to the request that follows (it purges whenever it gets to it,
// maybe after that answer came in), and waiting for its acknowledgement
// would cost a round trip per request. The transmit side is purged at the
// server, which still holds what the line has not sent.
int NetComDevice::Purge(uint32_t flags) {
    std::unique_lock lock(mutex_);
    if (fd_ < 0) return EBADF;
    if (flags & PURGE_RXCLEAR) {
        Pump();
        in_.clear();
        inHead_ = 0;
    }
    // Nothing is left to purge at the far end of a link that is gone; the
    // next read or write reports it, naming the host.
    if (broken_ || !(flags & PURGE_TXCLEAR)) return 0;
    QueueComPort(kPurgeData, {2});
    return SendQueued(lock);
}

int NetComDevice::EscapeFunction(Escape fn) {
    std::unique_lock lock(mutex_);
    if (fd_ < 0) return EBADF;
    if (broken_) return broken_;
    uint8_t value = 0;
    switch (fn) {
    case Escape::SetDTR:
        value = 8;
        break;
    case Escape::ClrDTR:
        value = 9;
        break;
    case Escape::SetRTS:
        value = 11;
        break;
    case Escape::ClrRTS:
        value = 12;
        break;
    case Escape::SetBreak:
        value = 5;
        break;
    case Escape::ClrBreak:
        value = 6;
        break;
    }
    QueueComPort(kSetControl, {value});
    return SendQueued(lock);
}

int NetComDevice::SetCommMask(uint32_t mask) {
    {
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return EBADF;
        mask_ = mask;
        pending_ = 0;
        ++generation_;
    }
    Poke(wakeFd_);
    return 0;
}

int NetComDevice::WaitCommEvent(uint32_t& mask, int stopFd) {
    mask = 0;
    std::unique_lock lock(mutex_);
    if (fd_ < 0) return EBADF;
    const uint64_t generation = generation_;
    for (;;) {
        if (generation_ != generation || fd_ < 0) return 0;
        if (uint32_t got = pending_ & mask_) {
            pending_ &= ~got;
            mask = got;
            return 0;
        }
        if (broken_) return broken_;
        Drain(wakeFd_);
        // The socket is only watched while its bytes have somewhere to go:
        // with the queue full they wait in the socket until the owner reads.
        const short events = mask_ != 0 ? SocketEvents() : 0;
        pollfd p[3] = {{events ? fd_ : -1, events, 0}, {wakeFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        lock.unlock();
        int n;
        do
            n = ::poll(p, 3, -1);
        while (n < 0 && errno == EINTR);
        lock.lock();
        if (p[2].revents) return 0;
        if (p[0].revents && fd_ >= 0) Pump();
    }
}

} // namespace serial

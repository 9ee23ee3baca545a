#include "serial/local/LocalLine.h"

#include "serial/DefaultDevice.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>

namespace serial {

namespace {

constexpr char kPrefix[] = "sim:";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr size_t kNearlyFull = LocalLine::kQueueBytes * 8 / 10;

// The live lines by name. A line leaves when it hangs up or goes; a name whose
// line has gone may be taken again at once.
struct Registry {
    struct Entry {
        std::weak_ptr<LocalLine> line;
        const LocalLine* identity; // compared only: never locked from here
    };
    std::mutex mutex;
    std::map<std::string, Entry> lines;

    bool Taken(const std::string& name) const {
        auto it = lines.find(name);
        return it != lines.end() && !it->second.line.expired();
    }
    void Remove(const std::string& name, const LocalLine* line) {
        auto it = lines.find(name);
        if (it != lines.end() && it->second.identity == line) lines.erase(it);
    }
};

// Never destroyed: a line that outlives the program's statics (one held by
// another static) still finds it when it goes.
Registry& Lines() {
    static Registry* const registry = new Registry;
    return *registry;
}

// Waits on `cv` until `done` holds or `timeoutMs` passed (-1: no limit).
template <class Done>
bool WaitOn(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int timeoutMs,
            Done done) {
    if (timeoutMs < 0) {
        cv.wait(lock, done);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

} // namespace

bool IsLocalPortName(const std::string& name) {
    return name.size() > kPrefixLength && name.compare(0, kPrefixLength, kPrefix) == 0;
}

std::shared_ptr<LocalLine> LocalLine::Create(const std::string& name) {
    if (!IsLocalPortName(name) || name.find('\0') != std::string::npos)
        throw std::invalid_argument("not a name for an in-process line: " + name);
    Registry& registry = Lines();
    std::lock_guard lock(registry.mutex);
    std::string free = name;
    for (int n = 2; registry.Taken(free); ++n)
        free = name + "-" + std::to_string(n);
    std::shared_ptr<LocalLine> line(new LocalLine(free));
    registry.lines[free] = {line, line.get()};
    return line;
}

std::shared_ptr<LocalLine> LocalLine::Find(const std::string& name) {
    Registry& registry = Lines();
    std::lock_guard lock(registry.mutex);
    auto it = registry.lines.find(name);
    return it == registry.lines.end() ? nullptr : it->second.line.lock();
}

LocalLine::LocalLine(std::string name) : name_(std::move(name)) {
    dcb_.BaudRate = 9600;
}

LocalLine::~LocalLine() {
    Registry& registry = Lines();
    std::lock_guard lock(registry.mutex);
    registry.Remove(name_, this);
}

int LocalLine::CheckLocked() const {
    if (hungUp_) return oserr::kGone;
    if (!attached_) return oserr::kClosed;
    return 0;
}

int LocalLine::Check() const {
    std::lock_guard lock(mutex_);
    return CheckLocked();
}

void LocalLine::Raise(uint32_t events) {
    const uint32_t masked = events & eventMask_;
    if (masked == 0) return;
    eventsSeen_ |= masked;
    portChanged_.notify_all();
}

// ---------------------------------------------------------------- the port's end

int LocalLine::Attach() {
    std::lock_guard lock(mutex_);
    if (hungUp_) return oserr::kGone;
    if (attached_) return oserr::kBusy;
    attached_ = true;
    toPort_.clear();
    eventMask_ = 0;
    eventsSeen_ = 0;
    interrupted_ = false;
    ++maskGeneration_;
    return 0;
}

void LocalLine::Detach() {
    {
        std::lock_guard lock(mutex_);
        attached_ = false;
        toPort_.clear();
        eventMask_ = 0;
        eventsSeen_ = 0;
    }
    portChanged_.notify_all();
    peerChanged_.notify_all(); // a peer waiting for room may send (and lose) now
}

int LocalLine::SetState(const Dcb& dcb) {
    std::lock_guard lock(mutex_);
    if (int err = CheckLocked()) return err;
    // What a UART driver refuses as well.
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0)
        return oserr::kInvalid;
    dcb_ = dcb;
    return 0;
}

int LocalLine::Read(void* buffer, size_t count, size_t& done) {
    done = 0;
    bool freedRoom = false;
    {
        std::lock_guard lock(mutex_);
        if (int err = CheckLocked()) return err;
        freedRoom = !RoomTowardsPort();
        auto* out = static_cast<char*>(buffer);
        while (done < count && !toPort_.empty()) {
            const char c = toPort_.front();
            toPort_.pop_front();
            if (c == 0 && dcb_.fNull) continue;
            out[done++] = c;
        }
        freedRoom = freedRoom && RoomTowardsPort();
    }
    if (freedRoom) peerChanged_.notify_all();
    return 0;
}

int LocalLine::Write(const void* buffer, size_t count, size_t& done) {
    done = 0;
    {
        std::lock_guard lock(mutex_);
        if (int err = CheckLocked()) return err;
        done = std::min(count, kQueueBytes - toPeer_.size());
        const char* in = static_cast<const char*>(buffer);
        toPeer_.insert(toPeer_.end(), in, in + done);
    }
    if (done > 0) peerChanged_.notify_all();
    return 0;
}

int LocalLine::WaitReadable(int timeoutMs, bool& ready) {
    ready = false;
    std::unique_lock lock(mutex_);
    if (int err = CheckLocked()) return err;
    WaitOn(portChanged_, lock, timeoutMs,
           [&] { return !toPort_.empty() || hungUp_ || !attached_; });
    if (!attached_ && !hungUp_) return oserr::kClosed;
    ready = !toPort_.empty() || hungUp_;
    return 0;
}

int LocalLine::WaitWritable(int timeoutMs, bool& ready) {
    ready = false;
    std::unique_lock lock(mutex_);
    if (int err = CheckLocked()) return err;
    auto room = [&] { return toPeer_.size() < kQueueBytes; };
    WaitOn(portChanged_, lock, timeoutMs, [&] { return room() || hungUp_ || !attached_; });
    if (!attached_ && !hungUp_) return oserr::kClosed;
    ready = room() || hungUp_;
    return 0;
}

int LocalLine::Status(ComStatus& status) {
    status = ComStatus{};
    std::lock_guard lock(mutex_);
    if (int err = CheckLocked()) return err;
    status.inQueue = static_cast<uint32_t>(toPort_.size());
    // Bytes the line took are with the peer: nothing is left to send.
    return 0;
}

int LocalLine::Purge(uint32_t flags) {
    {
        std::lock_guard lock(mutex_);
        if (int err = CheckLocked()) return err;
        // Nothing outlives its call here, so the ABORT flags have nothing to
        // cancel; the CLEAR flags empty their queue.
        if (flags & PURGE_RXCLEAR) toPort_.clear();
        if (flags & PURGE_TXCLEAR) toPeer_.clear();
    }
    portChanged_.notify_all(); // room for a writer
    peerChanged_.notify_all(); // room for the peer
    return 0;
}

int LocalLine::SetCommMask(uint32_t mask) {
    {
        std::lock_guard lock(mutex_);
        if (int err = CheckLocked()) return err;
        eventMask_ = mask;
        eventsSeen_ = 0;
        ++maskGeneration_;
        if (mask != 0) interrupted_ = false;
    }
    portChanged_.notify_all();
    return 0;
}

int LocalLine::WaitCommEvent(uint32_t& mask) {
    mask = 0;
    std::unique_lock lock(mutex_);
    if (int err = CheckLocked()) return err;
    const uint64_t generation = maskGeneration_;
    portChanged_.wait(lock, [&] {
        return !attached_ || hungUp_ || interrupted_ || maskGeneration_ != generation ||
               (eventsSeen_ & eventMask_) != 0;
    });
    if (int err = CheckLocked()) return err;
    if (interrupted_ || maskGeneration_ != generation) return 0;
    mask = eventsSeen_ & eventMask_;
    eventsSeen_ = 0;
    return 0;
}

void LocalLine::InterruptEventWait() {
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    portChanged_.notify_all();
}

// ---------------------------------------------------------------- the peer's end

size_t LocalLine::PeerRead(char* buffer, size_t count) {
    size_t n = 0;
    {
        std::lock_guard lock(mutex_);
        n = std::min(count, toPeer_.size());
        std::copy_n(toPeer_.begin(), n, buffer);
        toPeer_.erase(toPeer_.begin(), toPeer_.begin() + static_cast<std::ptrdiff_t>(n));
        if (n > 0 && toPeer_.empty() && attached_) Raise(EV_TXEMPTY);
    }
    if (n > 0) portChanged_.notify_all(); // room for a writer
    return n;
}

size_t LocalLine::PeerWrite(const char* data, size_t count) {
    std::lock_guard lock(mutex_);
    if (!attached_ || hungUp_) return count;
    const size_t before = toPort_.size();
    const size_t n = std::min(count, kQueueBytes - before);
    if (n == 0) return 0;
    toPort_.insert(toPort_.end(), data, data + n);
    uint32_t events = EV_RXCHAR;
    if (std::find(data, data + n, static_cast<char>(dcb_.EvtChar)) != data + n) events |= EV_RXFLAG;
    if (before < kNearlyFull && toPort_.size() >= kNearlyFull) events |= EV_RX80FULL;
    Raise(events);
    portChanged_.notify_all(); // readers
    return n;
}

Dcb LocalLine::PeerSettings() const {
    std::lock_guard lock(mutex_);
    return dcb_;
}

void LocalLine::PeerWait(int timeoutMs, bool wantRoom) {
    std::unique_lock lock(mutex_);
    WaitOn(peerChanged_, lock, timeoutMs, [&] {
        return !toPeer_.empty() || peerWake_ || (wantRoom && (!attached_ || RoomTowardsPort()));
    });
    peerWake_ = false;
}

void LocalLine::PeerWake() {
    {
        std::lock_guard lock(mutex_);
        peerWake_ = true;
    }
    peerChanged_.notify_all();
}

void LocalLine::HangUp() {
    {
        std::lock_guard lock(mutex_);
        hungUp_ = true;
    }
    portChanged_.notify_all();
    Registry& registry = Lines();
    std::lock_guard lock(registry.mutex);
    registry.Remove(name_, this);
}

} // namespace serial

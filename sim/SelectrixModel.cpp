// The Selectrix central unit as seen through its PC interface: request parsing, the bus image
// and the decoder programmer's timed steps.
#include "sim/SelectrixModel.h"

namespace sim {

namespace {

constexpr uint8_t kWriteBit = 0x80;
constexpr uint8_t kAddrMask = 0x7F;

// True once `now` has reached `due` on the wrapping millisecond counter.
bool Reached(uint32_t now, uint32_t due) {
    return static_cast<int32_t>(now - due) >= 0;
}

} // namespace

SelectrixModel::SelectrixModel() = default;

std::string SelectrixModel::Feed(const std::string& bytes, uint32_t nowMs,
                                 std::vector<RequestEvent>* events) {
    Advance(nowMs);
    std::string answer;
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        if (half_ && nowMs - halfAtMs_ > kRequestGapMs) {
            // The PC sends a request's two bytes together; a first byte left waiting this long
            // is the remains of something cut short.
            half_.reset();
            ++discarded_;
        }
        if (!half_) {
            half_ = b;
            halfAtMs_ = nowMs;
            continue;
        }
        uint8_t first = *half_;
        half_.reset();
        if (!(first & kWriteBit) && b != kReadFiller) {
            // A read is always followed by the filler, so `first` was garbage; `b` may well be
            // the start of the next request.
            ++discarded_;
            half_ = b;
            halfAtMs_ = nowMs;
            continue;
        }
        Request(first, b, nowMs, answer, events);
    }
    return answer;
}

void SelectrixModel::Request(uint8_t first, uint8_t second, uint32_t nowMs, std::string& answer,
                             std::vector<RequestEvent>* events) {
    ++requests_;
    uint8_t addr = first & kAddrMask;
    RequestEvent event{(first & kWriteBit) != 0, addr, second, false};
    if (event.write) {
        Write(addr, second, nowMs);
    } else {
        event.value = Bus(addr);
        event.answered = Answer(event.value, answer);
    }
    if (events) events->push_back(event);
}

bool SelectrixModel::Answer(uint8_t value, std::string& answer) {
    if (silent_) return false;
    ++answersDue_;
    if (dropEvery_ > 0 && answersDue_ % static_cast<uint64_t>(dropEvery_) == 0) return false;
    answer.push_back(static_cast<char>(corrupt_ ? static_cast<uint8_t>(~value) : value));
    answer += extra_;
    return true;
}

void SelectrixModel::Write(uint8_t addr, uint8_t value, uint32_t nowMs) {
    switch (addr) {
    case kAddrPower:
        trackPower_ = value != 0;
        return;
    case kAddrProgStatus:
        return; // driven by the programmer
    case kAddrProgCommand:
        bus_[addr] = value;
        Command(value, nowMs);
        return;
    default:
        if (!feedback_[addr]) bus_[addr] = value;
    }
}

void SelectrixModel::Command(uint8_t command, uint32_t nowMs) {
    if (progBusy_) return;
    // 193 and 201 need the programmer claimed, and not on its way to release.
    bool inUse = claimed_ && pending_ != Pending::Release;
    switch (command) {
    case kProgRelease:
        if (claimed_) Schedule(Pending::Release, timing_.releaseMs, nowMs);
        return;
    case kProgClaim:
        claimed_ = true;
        Schedule(Pending::Claim, timing_.claimMs, nowMs);
        return;
    case kProgPrepareRead:
        if (!inUse) return;
        ready_ = false;
        readArmed_ = true;
        pending_ = Pending::None;
        return;
    case kProgRead:
        if (readArmed_) Schedule(Pending::Load, timing_.loadMs, nowMs);
        return;
    case kProgWrite:
        if (!inUse) return;
        write104_ = bus_[kAddrProgReg1];
        write105_ = bus_[kAddrProgReg2];
        Schedule(Pending::Write, timing_.writeMs, nowMs);
        return;
    default:
        return; // not a command this programmer knows
    }
}

// A step that takes its time: not ready until it completes, and any armed read is forgotten.
void SelectrixModel::Schedule(Pending what, uint32_t delayMs, uint32_t nowMs) {
    ready_ = false;
    readArmed_ = false;
    pending_ = what;
    pendingDueMs_ = nowMs + delayMs;
    Advance(nowMs); // a zero delay completes at once
}

void SelectrixModel::Advance(uint32_t nowMs) {
    if (pending_ == Pending::None || !Reached(nowMs, pendingDueMs_)) return;
    if (progNeverReady_ && pending_ != Pending::Release) return;
    Pending what = pending_;
    pending_ = Pending::None;
    Complete(what);
}

void SelectrixModel::Complete(Pending what) {
    switch (what) {
    case Pending::Claim:
        break;
    case Pending::Load:
        bus_[kAddrProgReg1] = decoder104_;
        bus_[kAddrProgReg2] = decoder105_;
        claimed_ = false;
        break;
    case Pending::Write:
        decoder104_ = write104_;
        decoder105_ = write105_;
        break;
    case Pending::Release:
        claimed_ = false;
        break;
    case Pending::None:
        return;
    }
    ready_ = true;
}

uint8_t SelectrixModel::Status() const {
    if (progBusy_) return kProgInUse;
    return static_cast<uint8_t>((claimed_ ? kProgInUse : 0) | (ready_ ? kProgReady : 0));
}

uint8_t SelectrixModel::Bus(uint8_t addr) const {
    addr &= kAddrMask;
    if (addr == kAddrPower) return trackPower_ ? kPowerOnValue : 0;
    if (addr == kAddrProgStatus) return Status();
    return bus_[addr];
}

void SelectrixModel::SetBus(uint8_t addr, uint8_t value) {
    addr &= kAddrMask;
    if (addr == kAddrPower) {
        trackPower_ = value != 0;
        return;
    }
    bus_[addr] = value;
}

void SelectrixModel::SetFeedback(uint8_t addr, uint8_t inputs) {
    addr &= kAddrMask;
    if (addr == kAddrPower || addr == kAddrProgStatus || addr == kAddrProgCommand) {
        SetBus(addr, inputs); // the unit's own registers are never a feedback unit
        return;
    }
    feedback_[addr] = true;
    bus_[addr] = inputs;
}

void SelectrixModel::SetProgrammingDecoder(uint8_t reg104, uint8_t reg105) {
    decoder104_ = reg104;
    decoder105_ = reg105;
}

} // namespace sim

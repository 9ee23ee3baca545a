#include "sim/KaartModel.h"

namespace sim {

namespace {

constexpr uint8_t kHighModules = 0x20;
constexpr uint8_t kLastRequestFirst = 0xBF;
constexpr uint64_t kProbeGapUs = uint64_t{kKaartProbeGapMs} * 1000;

} // namespace

void KaartModel::Reset() {
    baud_ = 9600;
    pending_ = -1;
}

std::string KaartModel::Feed(const std::string& bytes, unsigned baud, uint64_t nowUs) {
    if (FallIsReset(baud)) Reset(); // see the header
    lastLineBaud_ = baud;
    std::string answer = Advance(nowUs);
    for (char c : bytes) {
        if (baud != baud_) {
            ++dropped_;
            continue;
        }
        answer += Take(static_cast<uint8_t>(c), nowUs);
    }
    return answer;
}

std::string KaartModel::Take(uint8_t b, uint64_t nowUs) {
    if (pending_ < 0) {
        if (b >= 0x80) {
            pending_ = b;
            pendingAtUs_ = nowUs;
            return {};
        }
        ++configurations_;
        config_ = b;
        if (silent_) return {};
        // A card that garbles its echo has not taken the byte either, and stays where it is.
        if (wrongEcho_ >= 0) return std::string(1, static_cast<char>(wrongEcho_));
        if (b & kKaartFastBit) baud_ = 19200; // after the echo, which is already on its way
        return std::string(1, static_cast<char>(b));
    }
    auto first = static_cast<uint8_t>(pending_);
    pending_ = -1;
    if (first > kLastRequestFirst) {
        dropped_ += 2;
        return {};
    }
    ++requests_;
    unsigned module = (first - 0x80u) + ((b & kHighModules) ? 64u : 0u);
    if (silent_) return {};
    std::string answer(1, static_cast<char>(first));
    if (!oneByte_) answer += static_cast<char>(modules_[module]);
    return answer;
}

std::string KaartModel::Advance(uint64_t nowUs) {
    if (pending_ < 0 || nowUs - pendingAtUs_ < kProbeGapUs) return {};
    auto first = static_cast<uint8_t>(pending_);
    pending_ = -1;
    if (first != kKaartProbe) {
        ++dropped_;
        return {};
    }
    ++probes_;
    return silent_ ? std::string() : std::string(1, static_cast<char>(kKaartProbeAnswer));
}

uint64_t KaartModel::NextDueUs() const {
    return pending_ < 0 ? 0 : pendingAtUs_ + kProbeGapUs;
}

} // namespace sim

// The Lenz interface's rules, from the bytes on the line only.
#include "sim/LenzModel.h"

namespace sim {

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

uint8_t At(const std::string& s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

uint16_t Address(uint8_t high, uint8_t low) {
    if (high == 0) return low;
    return static_cast<uint16_t>(((high & 0x3F) << 8) | low);
}

std::string AddressBytes(uint16_t address) {
    if (address < 100) return Bytes({0, address});
    return Bytes({0xC0 | (address >> 8), address & 0xFF});
}

// 27/28 steps: the low nibble counts half steps from 2, bit 4 is the
// intermediate step. Codes 0 and 1 (and 16, 17) stand the locomotive still.
uint8_t Decode28(uint8_t code) {
    unsigned low = code & 0x0F;
    if (low < 2) return 0;
    return static_cast<uint8_t>(2 * low - 3 + ((code & 0x10) ? 1 : 0));
}

uint8_t Encode28(uint8_t step) {
    if (step == 0) return 0;
    return static_cast<uint8_t>(((step + 3) / 2) | ((step % 2 == 0) ? 0x10 : 0));
}

// Step from a speed code of `steps` (14, 27, 28, 128); 14 and 128 count
// from 2 (0 stop, 1 emergency stop).
uint8_t DecodeSpeed(uint8_t code, uint8_t steps) {
    if (steps == 27 || steps == 28) return Decode28(code & 0x1F);
    uint8_t mask = steps == 14 ? 0x0F : 0x7F;
    uint8_t q = code & mask;
    return q < 2 ? 0 : static_cast<uint8_t>(q - 1);
}

uint8_t EncodeSpeed(uint8_t step, uint8_t steps) {
    if (steps == 27 || steps == 28) return Encode28(step);
    return step == 0 ? 0 : static_cast<uint8_t>(step + 1);
}

uint8_t StepsOfModeByte(uint8_t m) {
    static const uint8_t kSteps[] = {14, 27, 28, 128};
    return kSteps[m & 3];
}

uint8_t ModeId(uint8_t steps) {
    switch (steps) {
    case 14:
        return 0;
    case 27:
        return 1;
    case 28:
        return 2;
    default:
        return 4;
    }
}

std::string ReportBytes(LenzReport r) {
    static const struct {
        LenzReport report;
        uint8_t header, code;
    } kReports[] = {
        {LenzReport::Busy, 0x61, 0x81},         {LenzReport::ErrorPc, 0x01, 0x01},
        {LenzReport::ErrorStation, 0x01, 0x02}, {LenzReport::Unknown, 0x01, 0x03},
        {LenzReport::NoTimeslots, 0x01, 0x05},  {LenzReport::NotSupported, 0x61, 0x82},
    };
    for (const auto& k : kReports) {
        if (k.report == r) return Bytes({k.header, k.code});
    }
    return {};
}

} // namespace

std::string LenzFrame(const std::string& bytes) {
    uint8_t x = 0;
    for (unsigned char b : bytes)
        x ^= b;
    return bytes + static_cast<char>(x);
}

LenzModel::LenzModel(uint8_t versionByte) : version_(versionByte) {}

const LenzLoco* LenzModel::Loco(uint16_t address) const {
    auto it = locos_.find(address);
    return it == locos_.end() ? nullptr : &it->second;
}

uint8_t LenzModel::Turnout(uint8_t address) const {
    auto it = turnouts_.find(address);
    return it == turnouts_.end() ? 0 : it->second;
}

uint8_t LenzModel::Inputs(uint8_t module) const {
    return inputs_[module];
}

std::vector<std::string> LenzModel::Feed(const std::string& bytes) {
    std::vector<std::string> out;
    for (char c : bytes) {
        pending_ += c;
        size_t length = static_cast<size_t>(At(pending_, 0) & 0x0F) + 2;
        if (pending_.size() < length) continue;
        std::string msg;
        msg.swap(pending_);
        ++messages_;
        std::vector<std::string> answers;
        uint8_t x = 0;
        for (size_t i = 0; i + 1 < msg.size(); ++i)
            x ^= At(msg, i);
        if (x != At(msg, msg.size() - 1)) {
            ++xorErrors_;
            answers.push_back(LenzFrame(Bytes({0x01, 0x01})));
        } else if (reportNext_ != LenzReport::None || reportAlways_ != LenzReport::None) {
            LenzReport r = reportNext_ != LenzReport::None ? reportNext_ : reportAlways_;
            reportNext_ = LenzReport::None;
            answers.push_back(LenzFrame(ReportBytes(r)));
        } else {
            answers = Handle(msg);
        }
        for (std::string& a : Deliver(std::move(answers)))
            out.push_back(std::move(a));
    }
    return out;
}

// The fault switches between the interface and the line.
std::vector<std::string> LenzModel::Deliver(std::vector<std::string> answers) {
    if (answers.empty() || silent_) return {};
    ++answers_;
    if (dropEvery_ > 0 && answers_ % static_cast<uint64_t>(dropEvery_) == 0) return {};
    if (corruptNext_) {
        corruptNext_ = false;
        std::string& first = answers.front();
        first[first.size() - 1] = static_cast<char>(first.back() ^ 0x5A);
    }
    return answers;
}

std::vector<std::string> LenzModel::Broadcasts(const std::string& bytes) {
    int count = (Version3() ? 2 : 4) - missingBroadcasts_;
    std::vector<std::string> out = Ok();
    for (int i = 0; i < count; ++i)
        out.push_back(LenzFrame(bytes));
    return out;
}

std::string LenzModel::FeedbackEntry(uint8_t module, bool upper) const {
    uint8_t type = turnoutModule_[module] ? 0x20 : 0x40;
    uint8_t nibble = upper ? static_cast<uint8_t>(inputs_[module] >> 4) : inputs_[module] & 0x0F;
    return Bytes({module, type | (upper ? 0x10 : 0) | nibble});
}

std::string LenzModel::StateV3(uint16_t address) const {
    LenzLoco loco;
    if (const LenzLoco* l = Loco(address)) loco = *l;
    uint8_t id = static_cast<uint8_t>(ModeId(loco.steps) | (loco.byHand ? 0x08 : 0));
    uint8_t speed =
        static_cast<uint8_t>(EncodeSpeed(loco.speed, loco.steps) | (loco.forward ? 0x80 : 0));
    uint8_t fa = static_cast<uint8_t>((loco.light ? 0x10 : 0) | (loco.functions & 0x0F));
    return LenzFrame(Bytes({0xE4, id, speed, fa, 0x00}));
}

std::string LenzModel::StateOld(uint8_t address, bool withMode) const {
    LenzLoco loco;
    if (const LenzLoco* l = Loco(address)) loco = *l;
    uint8_t steps = loco.steps == 128 ? 28 : loco.steps; // the old form has five speed bits
    uint8_t s = static_cast<uint8_t>((EncodeSpeed(loco.speed, steps) & 0x1F) |
                                     (loco.forward ? 0x40 : 0) | (loco.light ? 0x20 : 0));
    std::string msg = Bytes({withMode ? 0x84 : 0x83, address, s, loco.functions & 0x0F});
    if (withMode) msg += static_cast<char>(steps == 14 ? 0 : steps == 27 ? 1 : 2);
    return LenzFrame(msg);
}

std::vector<std::string> LenzModel::Handle(const std::string& msg) {
    std::vector<std::string> unknown = {LenzFrame(Bytes({0x01, 0x03}))};
    uint8_t h = At(msg, 0);
    size_t n = msg.size() - 1; // without the XOR byte
    if (h == 0x21 && n == 2) {
        switch (At(msg, 1)) {
        case 0x21:
            if (Version3()) return {LenzFrame(Bytes({0x63, 0x21, version_, 0x00}))};
            return {LenzFrame(Bytes({0x62, 0x21, version_}))};
        case 0x81:
            power_ = LenzPower::On;
            return Broadcasts(Bytes({0x61, 0x01}));
        case 0x80:
            power_ = LenzPower::Off;
            return Broadcasts(Bytes({0x61, 0x00}));
        default:
            return unknown;
        }
    }
    if (h == 0x80 && n == 1) {
        power_ = LenzPower::EmergencyStop;
        return Broadcasts(Bytes({0x81, 0x00}));
    }
    if (h == 0x42 && n == 3 && (At(msg, 2) & 0xFE) == 0x80) {
        uint8_t module = At(msg, 1);
        return {LenzFrame(Bytes({0x42}) + FeedbackEntry(module, At(msg, 2) & 1))};
    }
    if (h == 0x52 && n == 3) {
        turnouts_[At(msg, 1)] = At(msg, 2);
        return Ok();
    }
    if ((h == 0xB3 && n == 4) || (h == 0xB4 && n == 5)) {
        LenzLoco& loco = locos_[At(msg, 1)];
        loco.steps = h == 0xB3 ? 28 : StepsOfModeByte(At(msg, 4));
        uint8_t s = At(msg, 2);
        loco.speed = DecodeSpeed(s & 0x1F, loco.steps == 128 ? 28 : loco.steps);
        loco.forward = (s & 0x40) != 0;
        loco.light = (s & 0x20) != 0;
        loco.functions = At(msg, 3) & 0x0F;
        loco.byHand = false;
        return Ok();
    }
    if ((h == 0xA1 || h == 0xA2) && n == 2) return {StateOld(At(msg, 1), h == 0xA2)};
    if (!Version3()) return unknown;
    if (h == 0xE4 && n == 5) {
        uint8_t kind = At(msg, 1);
        LenzLoco& loco = locos_[Address(At(msg, 2), At(msg, 3))];
        uint8_t value = At(msg, 4);
        if ((kind & 0xFC) == 0x10) {
            loco.steps = StepsOfModeByte(kind & 3);
            loco.speed = DecodeSpeed(value & 0x7F, loco.steps);
            loco.forward = (value & 0x80) != 0;
        } else if (kind == 0x20) {
            loco.light = (value & 0x10) != 0;
            loco.functions = value & 0x0F;
        } else {
            return unknown;
        }
        loco.byHand = false;
        return Ok();
    }
    if (h == 0xE3 && n == 4 && At(msg, 1) == 0x00)
        return {StateV3(Address(At(msg, 2), At(msg, 3)))};
    return unknown;
}

std::vector<std::string> LenzModel::SetInputs(uint8_t module, uint8_t inputs) {
    uint8_t changed = inputs_[module] ^ inputs;
    inputs_[module] = inputs;
    std::string msg;
    if (changed & 0x0F) msg += FeedbackEntry(module, false);
    if (changed & 0xF0) msg += FeedbackEntry(module, true);
    if (msg.empty() || silent_) return {};
    return {LenzFrame(static_cast<char>(0x40 | msg.size()) + msg)};
}

std::string LenzModel::TakeOver(uint16_t address) {
    LenzLoco& loco = locos_[address];
    loco.byHand = true;
    if (Version3()) return LenzFrame(Bytes({0xE3, 0x40}) + AddressBytes(address));
    // Before version 3 the interface reports the new state with the hand-operation header.
    std::string state = StateOld(static_cast<uint8_t>(address), true);
    state[0] = static_cast<char>(0xA4);
    return LenzFrame(state.substr(0, state.size() - 1));
}

std::string LenzModel::HandEmergencyStop() {
    power_ = LenzPower::EmergencyStop;
    return LenzFrame(Bytes({0x81, 0x00}));
}

std::vector<std::string> LenzModel::SwitchPower(bool on) {
    power_ = on ? LenzPower::On : LenzPower::Off;
    return {LenzFrame(Bytes({0x61, on ? 0x01 : 0x00}))};
}

} // namespace sim

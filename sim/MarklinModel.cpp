#include "sim/MarklinModel.h"

namespace sim {

namespace {

constexpr uint8_t kSolenoidOff = 32;
constexpr uint8_t kSwitchRound = 33;
constexpr uint8_t kSwitchStraight = 34;
constexpr uint8_t kFunctionFirst = 64;
constexpr uint8_t kFunctionLast = 64 + 16 + 15;

bool StartsTwoByteCommand(uint8_t b) {
    return b < kSolenoidOff || b == kSwitchRound || b == kSwitchStraight ||
           (b >= kFunctionFirst && b <= kFunctionLast);
}

} // namespace

std::string MarklinModel::Feed(const std::string& bytes, unsigned, uint64_t nowUs) {
    std::string answer;
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        if (pending_ >= 0) {
            auto first = static_cast<uint8_t>(pending_);
            pending_ = -1;
            MarklinCommand cmd{MarklinCommand::Loco, first, b, nowUs};
            if (first == kSwitchRound || first == kSwitchStraight) {
                cmd.kind = MarklinCommand::Switch;
            } else if (first >= kFunctionFirst) {
                cmd.kind = MarklinCommand::Function;
                function_[b] = first;
            } else {
                loco_[b] = first;
            }
            commands_.push_back(cmd);
            continue;
        }
        if (b == kMarklinGo || b == kMarklinStop) {
            power_ = b == kMarklinGo;
            commands_.push_back({MarklinCommand::Power, b, 0, nowUs});
        } else if (b == kSolenoidOff) {
            commands_.push_back({MarklinCommand::Switch, b, 0, nowUs});
        } else if (StartsTwoByteCommand(b)) {
            pending_ = b;
        } else if (b > kMarklinReadUpTo && b <= kMarklinReadUpTo + kMarklinModules) {
            unsigned n = b - kMarklinReadUpTo;
            commands_.push_back({MarklinCommand::Read, b, static_cast<uint8_t>(n), nowUs});
            AnswerModules(1, n, answer);
        } else if (b > kMarklinReadOne && b <= kMarklinReadOne + kMarklinModules) {
            unsigned n = b - kMarklinReadOne;
            commands_.push_back({MarklinCommand::Read, b, static_cast<uint8_t>(n), nowUs});
            AnswerModules(n, n, answer);
        } else {
            ++ignored_;
        }
    }
    return answer;
}

void MarklinModel::AnswerModules(unsigned from, unsigned to, std::string& answer) const {
    for (unsigned m = from; m <= to && !silent_; ++m) {
        answer += static_cast<char>(modules_[m] >> 8);
        answer += static_cast<char>(modules_[m] & 0xFF);
    }
}

bool MarklinModel::SetModule(unsigned n, uint16_t inputs) {
    if (n < 1 || n > kMarklinModules) return false;
    modules_[n] = inputs;
    return true;
}

int MarklinModel::LocoByte(uint8_t address) const {
    auto it = loco_.find(address);
    return it == loco_.end() ? -1 : it->second;
}

int MarklinModel::FunctionByte(uint8_t address) const {
    auto it = function_.find(address);
    return it == function_.end() ? -1 : it->second;
}

} // namespace sim

#include "sim/LenzSim.h"

#include "platform/Tick.h"

#include <algorithm>

namespace sim {

LenzSim::LenzSim(uint8_t versionByte, Wire wire)
    : Simulator("LenzSim", kRecordLimit, wire, versionByte) {
    Start();
}

LenzSim::~LenzSim() {
    Stop();
}

std::function<void()> LenzSim::Input(const std::string& bytes, const LineSettings&,
                                     uint64_t nowUs) {
    Queue(model_.Feed(bytes), nowUs + AnswerDelayUs());
    return {};
}

void LenzSim::Queue(const std::vector<std::string>& messages, uint64_t earliestUs) {
    unsigned baud = Line().baud;
    for (const std::string& m : messages) {
        if (!Out().Queue(garbage_ + m, earliestUs, chunkGapUs_, baud)) return;
    }
}

void LenzSim::WithModel(const std::function<std::vector<std::string>(LenzModel&)>& fn) {
    Locked([&] { Queue(fn(model_), platform::MicroNow()); });
    Wake();
}

bool LenzSim::Loco(uint16_t address, LenzLoco& out) {
    return Locked([&] {
        const LenzLoco* l = model_.Loco(address);
        if (l) out = *l;
        return l != nullptr;
    });
}

void LenzSim::SetInputs(uint8_t module, uint8_t inputs) {
    WithModel([=](LenzModel& m) { return m.SetInputs(module, inputs); });
}

void LenzSim::TakeOver(uint16_t address) {
    WithModel([=](LenzModel& m) { return std::vector<std::string>{m.TakeOver(address)}; });
}

void LenzSim::HandEmergencyStop() {
    WithModel([](LenzModel& m) { return std::vector<std::string>{m.HandEmergencyStop()}; });
}

void LenzSim::SwitchPower(bool on) {
    WithModel([=](LenzModel& m) { return m.SwitchPower(on); });
}

void LenzSim::SetChunkGapMs(int ms) {
    Locked([&] { chunkGapUs_ = static_cast<uint64_t>(std::max(ms, 0)) * 1000; });
}

void LenzSim::SetGarbage(const std::string& bytes) {
    Locked([&] { garbage_ = bytes; });
}

} // namespace sim

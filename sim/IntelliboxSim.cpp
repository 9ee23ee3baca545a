#include "sim/IntelliboxSim.h"

#include <cstdint>

namespace sim {

namespace {

// An endless text answer is generated this far ahead of the line.
constexpr size_t kEndlessAhead = 64;
// Start bit, eight data bits, two stop bits.
constexpr uint64_t kBitsPerByte = 11;

} // namespace

IntelliboxSim::IntelliboxSim(IBMode mode, unsigned baud, Wire wire)
    : Simulator("IntelliboxSim", kRecordLimit, wire, mode, baud) {
    Start();
}

IntelliboxSim::~IntelliboxSim() {
    Stop();
}

void IntelliboxSim::Queue(const std::string& bytes, unsigned baud, uint64_t nowUs) {
    // Paced, each byte is due when its last stop bit is on the line.
    uint64_t byteUs = pacing_ && baud > 0 ? kBitsPerByte * 1000000 / baud : 0;
    Out().Queue(bytes, nowUs + AnswerDelayUs() + byteUs, byteUs, baud);
}

void IntelliboxSim::TopUpEndless(uint64_t nowUs) {
    static const char kFill[] = "abcdefghijklmnopqrstuvwxyz ";
    while (endlessLeft_ > 0 && Out().Bytes() < kEndlessAhead) {
        Queue(std::string(1, kFill[endlessLeft_ % (sizeof kFill - 1)]), endlessBaud_, nowUs);
        if (endlessLeft_ != SIZE_MAX) --endlessLeft_;
    }
}

std::function<void()> IntelliboxSim::Input(const std::string& bytes, const LineSettings& line,
                                           uint64_t nowUs) {
    std::vector<IBCommand> commands;
    if (Hears(line)) {
        unsigned rate = model_.Baud(); // a rate change is answered at the old rate
        Queue(model_.Feed(bytes, &commands), rate, nowUs);
        if (size_t endless = model_.TakeEndlessText()) {
            endlessLeft_ = endless;
            endlessBaud_ = rate;
        }
    } else {
        model_.Reset();
        if (noise_) Queue(std::string(1, '\xFF'), line.baud, nowUs);
    }
    TopUpEndless(nowUs);
    for (const IBCommand& c : commands)
        commands_.Add(c);
    return ForMonitor(monitor_, std::move(commands));
}

void IntelliboxSim::SetMonitor(std::function<void(const IBCommand&)> monitor) {
    Locked([&] { monitor_ = std::move(monitor); });
}

void IntelliboxSim::SetEndlessText(size_t n) {
    Locked([&] {
        model_.SetEndlessText(n);
        if (n == 0) endlessLeft_ = 0;
    });
}

void IntelliboxSim::SetNoiseAtWrongRate(bool on) {
    Locked([&] { noise_ = on; });
}

void IntelliboxSim::SetPacing(bool on) {
    Locked([&] { pacing_ = on; });
}

} // namespace sim

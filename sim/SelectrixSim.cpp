#include "sim/SelectrixSim.h"

#include "platform/Tick.h"

namespace sim {

SelectrixSim::SelectrixSim(size_t recordLimit, Wire wire)
    : Simulator("SelectrixSim", recordLimit, wire) {
    Start();
}

SelectrixSim::~SelectrixSim() {
    Stop();
}

std::function<void()> SelectrixSim::Input(const std::string& bytes, const LineSettings&,
                                          uint64_t nowUs) {
    // The model keeps the tick counter's time, as the unit's programmer does.
    std::vector<RequestEvent> events;
    Answer(model_.Feed(bytes, platform::GetTickCount(), monitor_ ? &events : nullptr), nowUs);
    return ForMonitor(monitor_, std::move(events));
}

uint8_t SelectrixSim::Bus(uint8_t addr) {
    return Locked([&] {
        model_.Advance(platform::GetTickCount());
        return model_.Bus(addr);
    });
}

std::pair<uint8_t, uint8_t> SelectrixSim::ProgrammingDecoder() {
    return Locked([&] {
        model_.Advance(platform::GetTickCount());
        return model_.ProgrammingDecoder();
    });
}

void SelectrixSim::SetMonitor(std::function<void(const RequestEvent&)> monitor) {
    Locked([&] { monitor_ = std::move(monitor); });
}

} // namespace sim

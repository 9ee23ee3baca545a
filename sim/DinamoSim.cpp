#include "sim/DinamoSim.h"

namespace sim {

DinamoSim::DinamoSim(size_t recordLimit, Wire wire)
    : Simulator("DinamoSim", recordLimit, wire), frames_(recordLimit) {
    Start();
}

DinamoSim::~DinamoSim() {
    Stop();
}

std::function<void()> DinamoSim::Input(const std::string& bytes, const LineSettings&,
                                       uint64_t nowUs) {
    std::vector<DinamoFrameEvent> events;
    Answer(model_.Feed(bytes, &events), nowUs);
    for (DinamoFrameEvent& e : events) {
        e.atUs = nowUs;
        frames_.Add(e);
    }
    return ForMonitor(monitor_, std::move(events));
}

void DinamoSim::SetMonitor(std::function<void(const DinamoFrameEvent&)> monitor) {
    Locked([&] { monitor_ = std::move(monitor); });
}

} // namespace sim

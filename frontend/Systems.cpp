#include "frontend/Systems.h"

#include "command_station/LenzLog.h"
#include "command_station/MivoComm.h"
#include "serial/ComSettings.h"
#include "sim/DinamoSim.h"
#include "sim/IntelliboxSim.h"
#include "sim/KaartSim.h"
#include "sim/LenzSim.h"
#include "sim/MarklinSim.h"
#include "sim/SelectrixSim.h"

#include <sstream>
#include <utility>

namespace frontend {
namespace {

template <class Sim, class... Args> StartedSimulator Started(Args&&... args) {
    auto sim = std::make_shared<Sim>(std::forward<Args>(args)...);
    std::string path = sim->DevicePath();
    return {std::move(sim), std::move(path)};
}

// Each with the settings of its default constructor.
StartedSimulator StartSelectrix(sim::Wire wire) {
    return Started<sim::SelectrixSim>(sim::kRecordLimit, wire);
}
StartedSimulator StartMarklin(sim::Wire wire) {
    return Started<sim::MarklinSim>(wire);
}
StartedSimulator StartLenz(sim::Wire wire) {
    return Started<sim::LenzSim>(uint8_t{0x36}, wire);
}
StartedSimulator StartKaart(sim::Wire wire) {
    return Started<sim::KaartSim>(wire);
}
// The simulated Intellibox answers in both protocols, from 2400 baud.
StartedSimulator StartIntellibox(sim::Wire wire) {
    return Started<sim::IntelliboxSim>(sim::IBMode::Mixed, 2400u, wire);
}
StartedSimulator StartDinamo(sim::Wire wire) {
    return Started<sim::DinamoSim>(sim::kRecordLimit, wire);
}

// Selectrix and Märklin put the speed into the command byte unmasked, where
// a larger value would spill into the direction, light and function bits:
// the ranges stop at the speed codes (Märklin's 15 has its own option).
// The window's panels drive Lenz and the Intellibox with 28 speed steps;
// the DINAMO's inputs come as reports, shown eight to a module.
// clang-format off
const std::array<SystemInfo, 6> kSystems{{
    {"selectrix", command_station::dsSelectrix, 127, 31, 0, 111, 112, true,
     "--light --backward --f1 --system-address", FeedbackAnswer::Bytes, false, false, false,
     StartSelectrix,
     {"Selectrix", 31, 3, 0, 8, true}},
    {"marklin", command_station::dsMarklin, 255, 14, 1, 31, 0, false, "--light --change-direction",
     FeedbackAnswer::Bytes, false, false, false, StartMarklin,
     {"Märklin", 14, 3, 0, 16, false}},
    {"lenz", command_station::dsLenz, 9999, 127, 1, 128, 0, false,
     "--light --backward --f1 --f2 --f3 --f4 --lenz-steps", FeedbackAnswer::Events, true, false,
     true, StartLenz,
     {"Lenz", 28, 3, 28, 8, false}, true},
    {"kaart", command_station::dsSerieleKaart, -1, -1, 0, 127, 0, false, "", FeedbackAnswer::Bytes,
     false, false, false, StartKaart,
     {"serial card", -1, 3, 0, 8, false}},
    {"intellibox", command_station::dsIntellibox, 10239, 127, 1, 31, 0, false,
     "--light --backward --f1 --f2 --f3 --f4 --ib-steps --ib-old", FeedbackAnswer::Module,
     false, false, false, StartIntellibox,
     {"Intellibox", 28, 3, 28, 16, false}},
    {"dinamo", command_station::dsDinamo, -1, -1, 0, -1, 0, false, "", FeedbackAnswer::None, true,
     true, false, StartDinamo,
     {"DINAMO", -1, 3, 0, 8, false}},
}};
// clang-format on

} // namespace

const std::array<SystemInfo, 6>& Systems() {
    return kSystems;
}

const SystemInfo* FindSystem(const std::string& name) {
    for (const SystemInfo& s : kSystems)
        if (name == s.name) return &s;
    return nullptr;
}

std::string SystemNames() {
    std::string names;
    for (const SystemInfo& s : kSystems)
        names += (names.empty() ? "" : ", ") + std::string(s.name);
    return names;
}

bool Carries(const SystemInfo& system, const std::string& option) {
    const std::string carried = std::string(" ") + system.locoOptions + " ";
    return carried.find(" " + option + " ") != std::string::npos;
}

std::optional<serial::TBaudRate> BaudRate(long rate) {
    const serial::TBaudRate r = serial::BaudRateOfValue(rate);
    if (r == serial::brCustom) return std::nullopt;
    return r;
}

// Lenz log categories by name; a mask may be given as a number too.

std::optional<uint16_t> LenzMask(const std::string& text) {
    uint16_t mask = 0;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ',')) {
        if (part.empty()) continue;
        bool found = false;
        for (const auto& [name, bits] : command_station::kLenzLogCategories)
            if (part == name) {
                mask |= bits;
                found = true;
            }
        if (found) continue;
        try {
            size_t used = 0;
            const unsigned long v = std::stoul(part, &used, 0);
            if (used != part.size() || v > 0xFFFF) return std::nullopt;
            mask |= static_cast<uint16_t>(v);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return mask;
}

} // namespace frontend

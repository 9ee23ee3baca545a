// quorrin-sim --system marklin: the simulated Märklin interface, driven from stdin.
#include "sim/MarklinSim.h"
#include "sim/console/Console.h"

namespace sim::console {

namespace {

const char kHelp[] =
    R"(quorrin-sim --system marklin: a simulated Märklin interface with 31 feedback
modules behind a pseudo-terminal; prints the device path to open (2400 or
19200 baud, 8 data bits, 2 stop bits, RTS/CTS; a pseudo-terminal carries no
CTS, so the interface never holds the PC back here).

Commands, one per line (numbers in decimal or 0x.. hex):
  power on|off           track power, switched at the interface
  module N [INPUTS]      show or set the 16 inputs of feedback module N (1..31),
                         bit 15 = input 1
  input N I on|off       one input (I = 1..16) of module N
  loco ADDR              the last speed byte sent to a locomotive
  commands               every command received since the last "clear"
  clear                  forget the received commands and bytes
  silent on|off          feedback reads go unanswered
  line                   the line settings the PC set
  help                   this text
  quit                   stop
)";

std::string Describe(const MarklinCommand& c) {
    switch (c.kind) {
    case MarklinCommand::Power:
        return c.first == kMarklinGo ? "power on" : "power off";
    case MarklinCommand::Loco:
        return "loco " + std::to_string(c.address) + " speed byte " + std::to_string(c.first);
    case MarklinCommand::Function:
        return "loco " + std::to_string(c.address) + " function byte " + std::to_string(c.first);
    case MarklinCommand::Read:
        return (c.first >= kMarklinReadOne ? "read module " : "read modules 1..") +
               std::to_string(c.address);
    case MarklinCommand::Switch:
        return "switch command " + std::to_string(c.first) + " " + std::to_string(c.address);
    }
    return "?";
}

bool Module(MarklinSim& ms, const Words& w) {
    auto n = w.size() == 2 || w.size() == 3 ? NumberIn(w[1], 1, kMarklinModules) : std::nullopt;
    if (!n) return false;
    if (w.size() == 2) {
        Say("module " + w[1] + " = " + std::to_string(ms.Module(static_cast<unsigned>(*n))));
        return true;
    }
    auto v = Number(w[2], 0xFFFF);
    if (v) ms.SetModule(static_cast<unsigned>(*n), static_cast<uint16_t>(*v));
    return v.has_value();
}

bool Input(MarklinSim& ms, const Words& w) {
    auto n = w.size() == 4 ? NumberIn(w[1], 1, kMarklinModules) : std::nullopt;
    auto i = w.size() == 4 ? NumberIn(w[2], 1, 16) : std::nullopt;
    auto on = w.size() == 4 ? OnOff(w[3]) : std::nullopt;
    if (!n || !i || !on) return false;
    uint16_t bit = static_cast<uint16_t>(0x8000u >> (*i - 1));
    uint16_t v = ms.Module(static_cast<unsigned>(*n));
    ms.SetModule(static_cast<unsigned>(*n), static_cast<uint16_t>(*on ? v | bit : v & ~bit));
    return true;
}

bool Loco(MarklinSim& ms, const Words& w) {
    auto addr = w.size() == 2 ? Number(w[1], 255) : std::nullopt;
    if (!addr) return false;
    int b = ms.LocoByte(static_cast<uint8_t>(*addr));
    Say(b < 0 ? "no command yet" : "speed byte " + std::to_string(b));
    return true;
}

bool Commands(MarklinSim& ms, const Words&) {
    for (const MarklinCommand& c : ms.Commands())
        Say(Describe(c));
    return true;
}

bool Clear(MarklinSim& ms, const Words&) {
    ms.ClearRecords();
    return true;
}

bool Line(MarklinSim& ms, const Words&) {
    LineSettings l = ms.Line();
    Say(std::to_string(l.baud) + " baud, " + (l.twoStopBits ? "2" : "1") + " stop bits, RTS/CTS " +
        (l.rtsCts ? "on" : "off"));
    return true;
}

const std::vector<Command<MarklinSim>> kCommands = {
    {"power", Switch<&MarklinSim::SetPower>},
    {"module", Module},
    {"input", Input},
    {"loco", Loco},
    {"commands", Commands},
    {"clear", Clear},
    {"silent", Switch<&MarklinSim::SetSilent>},
    {"line", Line},
};

} // namespace

int RunMarklin(const Words& args) {
    if (auto end = ReadOptions(args, kHelp)) return *end;
    return Serve(kCommands, {kHelp, kTypeHelp}, nullptr);
}

} // namespace sim::console

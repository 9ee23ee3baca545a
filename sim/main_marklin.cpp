// quorrin-sim --system marklin: the simulated Märklin interface, driven from stdin.
#include "sim/ConsoleLoop.h"
#include "sim/MarklinSim.h"

#include <iostream>
#include <optional>
#include <vector>

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

std::string Describe(const sim::MarklinCommand& c) {
    switch (c.kind) {
    case sim::MarklinCommand::Power:
        return c.first == sim::kMarklinGo ? "power on" : "power off";
    case sim::MarklinCommand::Loco:
        return "loco " + std::to_string(c.address) + " speed byte " + std::to_string(c.first);
    case sim::MarklinCommand::Function:
        return "loco " + std::to_string(c.address) + " function byte " + std::to_string(c.first);
    case sim::MarklinCommand::Read:
        return (c.first >= sim::kMarklinReadOne ? "read module " : "read modules 1..") +
               std::to_string(c.address);
    case sim::MarklinCommand::Switch:
        return "switch command " + std::to_string(c.first) + " " + std::to_string(c.address);
    }
    return "?";
}

bool Execute(sim::MarklinSim& ms, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    auto bad = [&] { sim::ConsoleSay("? " + line + "   (type help)"); };
    const std::string& cmd = w[0];
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(kHelp);
    } else if (cmd == "power" && w.size() == 2 && sim::ConsoleOnOff(w[1])) {
        ms.SetPower(*sim::ConsoleOnOff(w[1]));
    } else if (cmd == "module" && (w.size() == 2 || w.size() == 3)) {
        auto n = sim::ConsoleNumber(w[1], sim::kMarklinModules);
        if (!n || *n < 1) return bad(), true;
        if (w.size() == 3) {
            auto v = sim::ConsoleNumber(w[2], 0xFFFF);
            v ? void(ms.SetModule(static_cast<unsigned>(*n), static_cast<uint16_t>(*v))) : bad();
        } else {
            sim::ConsoleSay("module " + w[1] + " = " + std::to_string(ms.Module(*n)));
        }
    } else if (cmd == "input" && w.size() == 4) {
        auto n = sim::ConsoleNumber(w[1], sim::kMarklinModules);
        auto i = sim::ConsoleNumber(w[2], 16);
        auto on = sim::ConsoleOnOff(w[3]);
        if (!n || *n < 1 || !i || *i < 1 || !on) return bad(), true;
        uint16_t bit = static_cast<uint16_t>(0x8000u >> (*i - 1));
        uint16_t v = ms.Module(static_cast<unsigned>(*n));
        ms.SetModule(static_cast<unsigned>(*n), static_cast<uint16_t>(*on ? v | bit : v & ~bit));
    } else if (cmd == "loco" && w.size() == 2 && sim::ConsoleNumber(w[1], 255)) {
        int b = ms.LocoByte(static_cast<uint8_t>(*sim::ConsoleNumber(w[1], 255)));
        sim::ConsoleSay(b < 0 ? "no command yet" : "speed byte " + std::to_string(b));
    } else if (cmd == "commands") {
        for (const sim::MarklinCommand& c : ms.Commands())
            sim::ConsoleSay(Describe(c));
    } else if (cmd == "clear") {
        ms.ClearRecords();
    } else if (cmd == "silent" && w.size() == 2 && sim::ConsoleOnOff(w[1])) {
        ms.SetSilent(*sim::ConsoleOnOff(w[1]));
    } else if (cmd == "line") {
        sim::PeerLine l = ms.Line();
        sim::ConsoleSay(std::to_string(l.baud) + " baud, " + (l.twoStopBits ? "2" : "1") +
                        " stop bits, RTS/CTS " + (l.rtsCts ? "on" : "off"));
    } else {
        bad();
    }
    return true;
}

} // namespace

int RunMarklinSim(bool helpOnly) {
    if (helpOnly) {
        std::cout << kHelp;
        return 0;
    }
    return sim::ServeConsole([&](int sigFd) {
        sim::MarklinSim ms;
        sim::ConsoleSay(ms.DevicePath());
        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(ms, line); });
    });
}

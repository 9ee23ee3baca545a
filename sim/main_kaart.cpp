// quorrin-sim --system kaart: the simulated serial card in a rack, driven from stdin.
#include "sim/ConsoleLoop.h"
#include "sim/KaartSim.h"

#include <iostream>
#include <optional>
#include <vector>

namespace {

const char kHelp[] =
    R"(quorrin-sim --system kaart: a simulated serial card in a rack of 128 feedback
modules behind a pseudo-terminal; prints the device path to open (9600 baud,
8 data bits, 1 stop bit). The card echoes its configuration byte, moves to
19200 baud when bit 3 asks for it and then understands only 19200 baud. A
pseudo-terminal carries no DTR: the card takes the PC falling back from 19200
to 9600 baud for the reset pulse, or use "reset".

Commands, one per line (numbers in decimal or 0x.. hex):
  module N [VALUE]       show or set the feedback byte of module N (0..127)
  reset                  reset the card (back to 9600 baud)
  silent on|off          the card answers nothing
  echo BYTE|right        echo this byte to every configuration byte
  onebyte on|off         answer requests with one byte instead of two
  show                   rate, last configuration byte and counters
  help                   this text
  quit                   stop
)";

bool Execute(sim::KaartSim& ks, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    auto bad = [&] { sim::ConsoleSay("? " + line + "   (type help)"); };
    const std::string& cmd = w[0];
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(kHelp);
    } else if (cmd == "module" && (w.size() == 2 || w.size() == 3)) {
        auto n = sim::ConsoleNumber(w[1], 127);
        if (!n) return bad(), true;
        if (w.size() == 3) {
            auto v = sim::ConsoleNumber(w[2], 255);
            v ? ks.SetModule(static_cast<uint8_t>(*n), static_cast<uint8_t>(*v)) : bad();
        } else {
            sim::ConsoleSay("module " + w[1] + " = " +
                            std::to_string(ks.Module(static_cast<uint8_t>(*n))));
        }
    } else if (cmd == "reset") {
        ks.Reset();
    } else if (cmd == "silent" && w.size() == 2 && sim::ConsoleOnOff(w[1])) {
        ks.SetSilent(*sim::ConsoleOnOff(w[1]));
    } else if (cmd == "echo" && w.size() == 2) {
        auto v = w[1] == "right" ? std::optional<long>(-1) : sim::ConsoleNumber(w[1], 255);
        v ? ks.SetWrongEcho(static_cast<int>(*v)) : bad();
    } else if (cmd == "onebyte" && w.size() == 2 && sim::ConsoleOnOff(w[1])) {
        ks.SetOneByteAnswers(*sim::ConsoleOnOff(w[1]));
    } else if (cmd == "show") {
        sim::ConsoleSay(std::to_string(ks.Baud()) + " baud, configuration " +
                        std::to_string(ks.LastConfig()) + ", " + std::to_string(ks.Requests()) +
                        " requests, " + std::to_string(ks.Probes()) + " probes, " +
                        std::to_string(ks.BytesDropped()) + " bytes dropped");
    } else {
        bad();
    }
    return true;
}

} // namespace

int RunKaartSim(bool helpOnly) {
    if (helpOnly) {
        std::cout << kHelp;
        return 0;
    }
    return sim::ServeConsole([&](int sigFd) {
        sim::KaartSim ks;
        sim::ConsoleSay(ks.DevicePath());
        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(ks, line); });
    });
}

// quorrin-sim --system lenz: a simulated Lenz interface with its command station behind a
// pseudo-terminal. Commands on stdin play the layout's and the hand controllers' part.
#include "sim/ConsoleLoop.h"
#include "sim/LenzSim.h"

#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

const char kHelp[] =
    R"(Usage: quorrin-sim --system lenz [--version X.Y] [--help]

Starts a simulated Lenz computer interface with its command station behind a
pseudo-terminal and prints the device path to open (9600 baud, 8 data bits,
1 stop bit, RTS/CTS). Runs until end of input, "quit", Ctrl-C or SIGTERM.

  --version X.Y   the version the interface reports (default 3.6; below 3.0
                  it speaks the older forms)

Commands, one per line (numbers in decimal, 0x.. hex or 0b.. binary):
  version X.Y            the version it reports from now on
  inputs ADDR VALUE      the eight inputs of feedback module ADDR (1..256, bit 0
                         = input 1); each changed nibble is broadcast
  input ADDR N on|off    one input (N = 1..8) of module ADDR
  turnouts ADDR on|off   module ADDR reports as a turnout decoder
  takeover LOCO          a hand controller takes locomotive LOCO over
  estop                  the emergency-stop key of a hand controller
  power on|off           track power switched at the command station
  raw BYTE...            put these bytes on the line as they are
  loco LOCO              show a locomotive's state
  show                   power and version
  silent on|off          the interface answers nothing
  delay MS               delay every answer by MS milliseconds
  corrupt                one wrong byte in the next answer
  chunks MS              answers a byte at a time, MS apart (0 = whole)
  garbage BYTE...        these bytes before every message (none: off)
  drop N                 drop every N-th answer (0 = never)
  fewer N                N power broadcasts fewer than usual
  report KIND            answer the next command with a report instead:
                         busy, pc, station, unknown, timeslots, unsupported
  busy on|off            answer every command with "busy"
  help                   this text
  quit                   stop
)";

std::optional<long> InRange(const std::string& word, long lo, long hi) {
    auto v = sim::ConsoleNumber(word);
    if (!v || *v < lo || *v > hi) return std::nullopt;
    return v;
}

// "3.6" -> 0x36; the fraction's digits become the low nibble (3.12 -> 0x3C).
std::optional<uint8_t> VersionByte(const std::string& word) {
    size_t dot = word.find('.');
    auto hi = InRange(word.substr(0, dot), 0, 15);
    auto lo =
        dot == std::string::npos ? std::optional<long>(0) : InRange(word.substr(dot + 1), 0, 15);
    if (!hi || !lo) return std::nullopt;
    return static_cast<uint8_t>(*hi << 4 | *lo);
}

std::optional<sim::LenzReport> Report(const std::string& word) {
    if (word == "busy") return sim::LenzReport::Busy;
    if (word == "pc") return sim::LenzReport::ErrorPc;
    if (word == "station") return sim::LenzReport::ErrorStation;
    if (word == "unknown") return sim::LenzReport::Unknown;
    if (word == "timeslots") return sim::LenzReport::NoTimeslots;
    if (word == "unsupported") return sim::LenzReport::NotSupported;
    return std::nullopt;
}

std::optional<std::string> ByteList(const std::vector<std::string>& w) {
    std::string bytes;
    for (size_t i = 1; i < w.size(); ++i) {
        auto b = InRange(w[i], 0, 255);
        if (!b) return std::nullopt;
        bytes += static_cast<char>(*b);
    }
    return bytes;
}

bool Execute(sim::LenzSim& lz, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    auto bad = [&] { sim::ConsoleSay("? " + line + "   (type help)"); };
    auto arg = [&](long lo, long hi) {
        return w.size() == 2 ? InRange(w[1], lo, hi) : std::nullopt;
    };

    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(kHelp);
    } else if (cmd == "version") {
        auto v = w.size() == 2 ? VersionByte(w[1]) : std::nullopt;
        v ? lz.SetVersionByte(*v) : bad();
    } else if (cmd == "inputs") {
        auto addr = w.size() == 3 ? InRange(w[1], 1, 256) : std::nullopt;
        auto value = w.size() == 3 ? InRange(w[2], 0, 255) : std::nullopt;
        if (!addr || !value) return bad(), true;
        lz.SetInputs(static_cast<uint8_t>(*addr - 1), static_cast<uint8_t>(*value));
    } else if (cmd == "input") {
        auto addr = w.size() == 4 ? InRange(w[1], 1, 256) : std::nullopt;
        auto n = w.size() == 4 ? InRange(w[2], 1, 8) : std::nullopt;
        auto on = w.size() == 4 ? sim::ConsoleOnOff(w[3]) : std::nullopt;
        if (!addr || !n || !on) return bad(), true;
        uint8_t module = static_cast<uint8_t>(*addr - 1);
        uint8_t bit = static_cast<uint8_t>(1u << (*n - 1));
        uint8_t v = 0;
        lz.WithModel([&](sim::LenzModel& m) {
            v = m.Inputs(module);
            return std::vector<std::string>{};
        });
        lz.SetInputs(module, static_cast<uint8_t>(*on ? v | bit : v & ~bit));
    } else if (cmd == "turnouts") {
        auto addr = w.size() == 3 ? InRange(w[1], 1, 256) : std::nullopt;
        auto on = w.size() == 3 ? sim::ConsoleOnOff(w[2]) : std::nullopt;
        if (!addr || !on) return bad(), true;
        lz.WithModel([&](sim::LenzModel& m) {
            m.SetTurnoutModule(static_cast<uint8_t>(*addr - 1), *on);
            return std::vector<std::string>{};
        });
    } else if (cmd == "takeover") {
        auto loco = arg(1, 9999);
        loco ? lz.TakeOver(static_cast<uint16_t>(*loco)) : bad();
    } else if (cmd == "estop") {
        lz.HandEmergencyStop();
    } else if (cmd == "power") {
        auto on = w.size() == 2 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        on ? lz.SwitchPower(*on) : bad();
    } else if (cmd == "raw" || cmd == "garbage") {
        auto bytes = ByteList(w);
        if (!bytes) return bad(), true;
        cmd == "raw" ? lz.SendRaw(*bytes) : lz.SetGarbage(*bytes);
    } else if (cmd == "loco") {
        auto addr = arg(0, 9999);
        sim::LenzLoco l;
        if (!addr) return bad(), true;
        if (!lz.Loco(static_cast<uint16_t>(*addr), l))
            return sim::ConsoleSay("no such locomotive yet"), true;
        sim::ConsoleSay(
            "loco " + std::to_string(*addr) + ": " + std::to_string(l.steps) + " steps, speed " +
            std::to_string(l.speed) + (l.forward ? " forward" : " backward") +
            (l.light ? ", light on" : ", light off") + ", functions " +
            std::to_string(l.functions) + (l.byHand ? ", held by a hand controller" : ""));
    } else if (cmd == "show") {
        sim::LenzPower p = lz.Power();
        uint8_t v = 0;
        lz.WithModel([&](sim::LenzModel& m) {
            v = m.VersionByte();
            return std::vector<std::string>{};
        });
        sim::ConsoleSay(std::string("power ") +
                        (p == sim::LenzPower::On    ? "on"
                         : p == sim::LenzPower::Off ? "off"
                                                    : "emergency stop") +
                        ", version " + std::to_string(v >> 4) + "." + std::to_string(v & 0x0F) +
                        ", XOR errors " + std::to_string(lz.XorErrors()));
    } else if (cmd == "silent") {
        auto on = w.size() == 2 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        on ? lz.SetSilent(*on) : bad();
    } else if (cmd == "busy") {
        auto on = w.size() == 2 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        on ? lz.SetReportAlways(*on ? sim::LenzReport::Busy : sim::LenzReport::None) : bad();
    } else if (cmd == "corrupt") {
        lz.CorruptNextAnswer();
    } else if (cmd == "delay" || cmd == "chunks" || cmd == "drop" || cmd == "fewer") {
        auto v = arg(0, 60000);
        if (!v) return bad(), true;
        int n = static_cast<int>(*v);
        if (cmd == "delay") lz.SetAnswerDelayMs(n);
        if (cmd == "chunks") lz.SetChunkGapMs(n);
        if (cmd == "drop") lz.SetDropEvery(n);
        if (cmd == "fewer") lz.SetMissingBroadcasts(n);
    } else if (cmd == "report") {
        auto r = w.size() == 2 ? Report(w[1]) : std::nullopt;
        r ? lz.ReportNext(*r) : bad();
    } else {
        bad();
    }
    return true;
}

} // namespace

// Runs the Lenz simulator; `args` are the options after the program name, "--system lenz"
// already taken out.
int LenzSimMain(const std::vector<std::string>& args) {
    uint8_t version = 0x36;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kHelp;
            return 0;
        }
        std::optional<uint8_t> v;
        if (args[i] == "--version" && i + 1 < args.size()) v = VersionByte(args[++i]);
        if (!v) {
            std::cerr << "quorrin-sim: unknown option " << args[i] << " (try --help)\n";
            return 2;
        }
        version = *v;
    }

    return sim::ServeConsole([&](int sigFd) {
        sim::LenzSim lz(version);
        sim::ConsoleSay(lz.DevicePath());
        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(lz, line); });
    });
}

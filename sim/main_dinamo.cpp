// quorrin-sim --system dinamo: a simulated DINAMO behind a pseudo-terminal. Commands on stdin
// queue the layout's reports and switch the DINAMO's faults.
#include "sim/ConsoleLoop.h"
#include "sim/DinamoSim.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kHelp[] =
    R"(Usage: quorrin-sim --system dinamo [--verbose] [--help]

Starts a simulated DINAMO behind a pseudo-terminal and prints the device path
to open (9600 baud, 8 data bits, odd parity, 1 stop bit; a pseudo-terminal
carries no parity, so none is checked). Every valid frame from the PC is
answered with one frame carrying the hold and fault bits, the frame's toggle
and the next queued report. Runs until end of input, "quit", Ctrl-C or SIGTERM.

  --verbose   print every frame the PC sends and the answer

Commands, one per line (numbers in decimal, 0x.. hex or 0b.. binary):
  occupancy N on|off     report occupancy input N (1..128)
  magnet N 0|1           report the state of magnet N (1..128)
  block N VALUE          report block N (1..32) with VALUE (0..127)
  raw BYTE...            report these data bytes as they are (0..3 bytes)
  hold on|off            the hold bit in every answer
  fault on [RESETS]      the fault bit until RESETS (default 1) resets arrive
  fault off              clear the fault at once
  badcheck               a wrong check byte on the next answer
  silent on|off          answer nothing
  delay MS               send every answer MS milliseconds late
  garbage BYTE...        put these bytes on the line towards the PC now
  show                   switches, queued reports, commands received
  help                   this text
  quit                   stop
)";

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[8];
    for (char c : bytes) {
        std::snprintf(buf, sizeof buf, "%s0x%02X", out.empty() ? "" : " ",
                      static_cast<unsigned>(static_cast<uint8_t>(c)));
        out += buf;
    }
    return out.empty() ? "-" : out;
}

std::optional<uint8_t> InRange(const std::string& word, long lo, long hi) {
    auto v = sim::ConsoleNumber(word);
    if (!v || *v < lo || *v > hi) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

std::optional<std::string> ByteList(const std::vector<std::string>& w, size_t from) {
    std::string bytes;
    for (size_t i = from; i < w.size(); ++i) {
        auto b = InRange(w[i], 0, 255);
        if (!b) return std::nullopt;
        bytes += static_cast<char>(*b);
    }
    return bytes;
}

void Show(sim::DinamoSim& d) {
    std::ostringstream out;
    out << "hold " << (d.Hold() ? "on" : "off") << ", fault " << (d.Fault() ? "on" : "off")
        << ", reports waiting " << d.ReportsWaiting() << ", resets received " << d.ResetsReceived()
        << ", frames rejected " << d.FramesRejected();
    std::vector<std::string> commands = d.Commands();
    size_t from = commands.size() > 10 ? commands.size() - 10 : 0;
    for (size_t i = from; i < commands.size(); ++i)
        out << "\n  command " << i + 1 << ": " << Hex(commands[i]);
    sim::ConsoleSay(out.str());
}

// Runs one command line; false for "quit".
bool Execute(sim::DinamoSim& d, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    auto bad = [&] { sim::ConsoleSay("? " + line + "   (type help)"); };

    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(kHelp);
    } else if (cmd == "show") {
        Show(d);
    } else if (cmd == "occupancy" || cmd == "magnet") {
        auto n = w.size() == 3 ? InRange(w[1], 1, 128) : std::nullopt;
        auto on = w.size() == 3 ? sim::ConsoleOnOff(w[2]) : std::nullopt;
        if (!n || !on) return bad(), true;
        cmd == "occupancy" ? d.QueueOccupancy(*n, *on) : d.QueueMagnet(*n, *on);
    } else if (cmd == "block") {
        auto n = w.size() == 3 ? InRange(w[1], 1, 32) : std::nullopt;
        auto v = w.size() == 3 ? InRange(w[2], 0, 127) : std::nullopt;
        n&& v ? d.QueueBlock(*n, *v) : bad();
    } else if (cmd == "raw") {
        auto bytes = w.size() <= 4 ? ByteList(w, 1) : std::nullopt;
        bytes ? d.QueueRaw(*bytes) : bad();
    } else if (cmd == "garbage") {
        auto bytes = w.size() >= 2 ? ByteList(w, 1) : std::nullopt;
        bytes ? d.SendUnsolicited(*bytes) : bad();
    } else if (cmd == "hold" || cmd == "silent") {
        auto on = w.size() == 2 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        if (!on) return bad(), true;
        cmd == "hold" ? d.SetHold(*on) : d.SetSilent(*on);
    } else if (cmd == "fault") {
        auto on = w.size() >= 2 && w.size() <= 3 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        auto resets = w.size() == 3 ? InRange(w[2], 1, 100) : std::optional<uint8_t>(1);
        if (!on || !resets || (!*on && w.size() == 3)) return bad(), true;
        d.SetFault(*on, *resets);
    } else if (cmd == "badcheck" && w.size() == 1) {
        d.SetBadCheckNext();
    } else if (cmd == "delay") {
        auto v = w.size() == 2 ? sim::ConsoleNumber(w[1]) : std::nullopt;
        if (!v || *v > 60000) return bad(), true;
        d.SetAnswerDelayMs(static_cast<int>(*v));
    } else {
        bad();
    }
    return true;
}

void Monitor(const sim::DinamoFrameEvent& e) {
    std::string text = "PC: " + Hex(e.data) + " (toggle " + std::to_string(e.toggle) + ")";
    if (e.repeat) text += " repeat";
    text += e.answered ? " -> " + Hex(e.answer) : std::string(" -> no answer");
    sim::ConsoleSay(text);
}

} // namespace

// The DINAMO's half of quorrin-sim; `args` are the options after --system dinamo.
int RunDinamoSim(const std::vector<std::string>& args) {
    bool verbose = false;
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        }
        if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else {
            std::cerr << "quorrin-sim: unknown option " << arg << " (try --help)\n";
            return 2;
        }
    }

    return sim::ServeConsole([&](int sigFd) {
        sim::DinamoSim d(100000);
        if (verbose) d.SetFrameMonitor(Monitor);
        sim::ConsoleSay(d.DevicePath());

        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(d, line); });
        d.SetFrameMonitor(nullptr);
    });
}

// quorrin-sim --system dinamo: a simulated DINAMO behind a pseudo-terminal. Commands on stdin
// queue the layout's reports and switch the DINAMO's faults.
#include "sim/DinamoSim.h"
#include "sim/console/Console.h"

#include <cstdio>
#include <sstream>

namespace sim::console {

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
    auto v = NumberIn(word, lo, hi);
    if (!v) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

bool Show(DinamoSim& d, const Words&) {
    std::ostringstream out;
    out << "hold " << (d.Hold() ? "on" : "off") << ", fault " << (d.Fault() ? "on" : "off")
        << ", reports waiting " << d.ReportsWaiting() << ", resets received " << d.ResetsReceived()
        << ", frames rejected " << d.FramesRejected();
    std::vector<std::string> commands = d.Commands();
    size_t from = commands.size() > 10 ? commands.size() - 10 : 0;
    for (size_t i = from; i < commands.size(); ++i)
        out << "\n  command " << i + 1 << ": " << Hex(commands[i]);
    Say(out.str());
    return true;
}

// occupancy N on|off, magnet N 0|1: a report for input or magnet N.
template <void (DinamoSim::*Queue)(uint8_t, bool)> bool Report(DinamoSim& d, const Words& w) {
    auto n = w.size() == 3 ? InRange(w[1], 1, 128) : std::nullopt;
    auto on = w.size() == 3 ? OnOff(w[2]) : std::nullopt;
    if (!n || !on) return false;
    (d.*Queue)(*n, *on);
    return true;
}

bool Block(DinamoSim& d, const Words& w) {
    auto n = w.size() == 3 ? InRange(w[1], 1, 32) : std::nullopt;
    auto v = w.size() == 3 ? InRange(w[2], 0, 127) : std::nullopt;
    if (n && v) d.QueueBlock(*n, *v);
    return n && v;
}

bool Raw(DinamoSim& d, const Words& w) {
    auto bytes = w.size() <= 4 ? ByteList(w, 1) : std::nullopt;
    if (bytes) d.QueueRaw(*bytes);
    return bytes.has_value();
}

bool Garbage(DinamoSim& d, const Words& w) {
    auto bytes = w.size() >= 2 ? ByteList(w, 1) : std::nullopt;
    if (bytes) d.SendUnsolicited(*bytes);
    return bytes.has_value();
}

bool Fault(DinamoSim& d, const Words& w) {
    auto on = w.size() >= 2 && w.size() <= 3 ? OnOff(w[1]) : std::nullopt;
    auto resets = w.size() == 3 ? InRange(w[2], 1, 100) : std::optional<uint8_t>(1);
    if (!on || !resets || (!*on && w.size() == 3)) return false;
    d.SetFault(*on, *resets);
    return true;
}

bool BadCheck(DinamoSim& d, const Words& w) {
    if (w.size() != 1) return false;
    d.SetBadCheckNext();
    return true;
}

const std::vector<Command<DinamoSim>> kCommands = {
    {"show", Show},
    {"occupancy", Report<&DinamoSim::QueueOccupancy>},
    {"magnet", Report<&DinamoSim::QueueMagnet>},
    {"block", Block},
    {"raw", Raw},
    {"garbage", Garbage},
    {"hold", Switch<&DinamoSim::SetHold>},
    {"silent", Switch<&DinamoSim::SetSilent>},
    {"fault", Fault},
    {"badcheck", BadCheck},
    {"delay", Amount<&DinamoSim::SetAnswerDelayMs>},
};

void Monitor(const DinamoFrameEvent& e) {
    std::string text = "PC: " + Hex(e.data) + " (toggle " + std::to_string(e.toggle) + ")";
    if (e.repeat) text += " repeat";
    text += e.answered ? " -> " + Hex(e.answer) : std::string(" -> no answer");
    Say(text);
}

} // namespace

int RunDinamo(const Words& args) {
    bool verbose = false;
    if (auto end = ReadOptions(args, kHelp, &verbose)) return *end;
    return Serve(kCommands, {kHelp, kTypeHelp}, verbose ? Monitor : nullptr, size_t{100000});
}

} // namespace sim::console

// quorrin-sim --system lenz: a simulated Lenz interface with its command station behind a
// pseudo-terminal. Commands on stdin play the layout's and the hand controllers' part.
#include "sim/LenzSim.h"
#include "sim/console/Console.h"

namespace sim::console {

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

// "3.6" -> 0x36; the fraction's digits become the low nibble (3.12 -> 0x3C).
std::optional<uint8_t> VersionByte(const std::string& word) {
    size_t dot = word.find('.');
    auto hi = NumberIn(word.substr(0, dot), 0, 15);
    auto lo =
        dot == std::string::npos ? std::optional<long>(0) : NumberIn(word.substr(dot + 1), 0, 15);
    if (!hi || !lo) return std::nullopt;
    return static_cast<uint8_t>(*hi << 4 | *lo);
}

std::optional<LenzReport> Report(const std::string& word) {
    if (word == "busy") return LenzReport::Busy;
    if (word == "pc") return LenzReport::ErrorPc;
    if (word == "station") return LenzReport::ErrorStation;
    if (word == "unknown") return LenzReport::Unknown;
    if (word == "timeslots") return LenzReport::NoTimeslots;
    if (word == "unsupported") return LenzReport::NotSupported;
    return std::nullopt;
}

// A feedback module as typed (1..256) as its address byte.
std::optional<uint8_t> Module(const std::string& word) {
    auto addr = NumberIn(word, 1, 256);
    if (!addr) return std::nullopt;
    return static_cast<uint8_t>(*addr - 1);
}

bool Inputs(LenzSim& lz, const Words& w) {
    auto module = w.size() == 3 ? Module(w[1]) : std::nullopt;
    auto value = w.size() == 3 ? Number(w[2], 255) : std::nullopt;
    if (!module || !value) return false;
    lz.SetInputs(*module, static_cast<uint8_t>(*value));
    return true;
}

bool Input(LenzSim& lz, const Words& w) {
    auto module = w.size() == 4 ? Module(w[1]) : std::nullopt;
    auto n = w.size() == 4 ? NumberIn(w[2], 1, 8) : std::nullopt;
    auto on = w.size() == 4 ? OnOff(w[3]) : std::nullopt;
    if (!module || !n || !on) return false;
    uint8_t bit = static_cast<uint8_t>(1u << (*n - 1));
    uint8_t v = lz.Inputs(*module);
    lz.SetInputs(*module, static_cast<uint8_t>(*on ? v | bit : v & ~bit));
    return true;
}

bool Turnouts(LenzSim& lz, const Words& w) {
    auto module = w.size() == 3 ? Module(w[1]) : std::nullopt;
    auto on = w.size() == 3 ? OnOff(w[2]) : std::nullopt;
    if (!module || !on) return false;
    lz.SetTurnoutModule(*module, *on);
    return true;
}

// A locomotive address as typed.
std::optional<uint16_t> LocoAddress(const std::string& word) {
    auto v = NumberIn(word, 1, 9999);
    if (!v) return std::nullopt;
    return static_cast<uint16_t>(*v);
}

bool EmergencyStop(LenzSim& lz, const Words&) {
    lz.HandEmergencyStop();
    return true;
}

// Bytes after the command for `Set` (none is an empty list).
template <auto Set> bool Bytes(LenzSim& lz, const Words& w) {
    auto bytes = ByteList(w, 1);
    if (bytes) (lz.*Set)(*bytes);
    return bytes.has_value();
}

bool Loco(LenzSim& lz, const Words& w) {
    auto addr = w.size() == 2 ? NumberIn(w[1], 0, 9999) : std::nullopt;
    LenzLoco l;
    if (!addr) return false;
    if (!lz.Loco(static_cast<uint16_t>(*addr), l)) {
        Say("no such locomotive yet");
        return true;
    }
    Say("loco " + std::to_string(*addr) + ": " + std::to_string(l.steps) + " steps, speed " +
        std::to_string(l.speed) + (l.forward ? " forward" : " backward") +
        (l.light ? ", light on" : ", light off") + ", functions " + std::to_string(l.functions) +
        (l.byHand ? ", held by a hand controller" : ""));
    return true;
}

bool Show(LenzSim& lz, const Words&) {
    LenzPower p = lz.Power();
    uint8_t v = lz.VersionByte();
    Say(std::string("power ") +
        (p == LenzPower::On    ? "on"
         : p == LenzPower::Off ? "off"
                               : "emergency stop") +
        ", version " + std::to_string(v >> 4) + "." + std::to_string(v & 0x0F) + ", XOR errors " +
        std::to_string(lz.XorErrors()));
    return true;
}

bool Busy(LenzSim& lz, const Words& w) {
    auto on = OnOffArgument(w);
    if (on) lz.SetReportAlways(*on ? LenzReport::Busy : LenzReport::None);
    return on.has_value();
}

bool Corrupt(LenzSim& lz, const Words&) {
    lz.CorruptNextAnswer();
    return true;
}

const std::vector<Command<LenzSim>> kCommands = {
    {"version", Argument<VersionByte, &LenzSim::SetVersionByte>},
    {"inputs", Inputs},
    {"input", Input},
    {"turnouts", Turnouts},
    {"takeover", Argument<LocoAddress, &LenzSim::TakeOver>},
    {"estop", EmergencyStop},
    {"power", Switch<&LenzSim::SwitchPower>},
    {"raw", Bytes<&LenzSim::SendUnsolicited>},
    {"garbage", Bytes<&LenzSim::SetGarbage>},
    {"loco", Loco},
    {"show", Show},
    {"silent", Switch<&LenzSim::SetSilent>},
    {"busy", Busy},
    {"corrupt", Corrupt},
    {"delay", Amount<&LenzSim::SetAnswerDelayMs>},
    {"chunks", Amount<&LenzSim::SetChunkGapMs>},
    {"drop", Amount<&LenzSim::SetDropEvery>},
    {"fewer", Amount<&LenzSim::SetMissingBroadcasts>},
    {"report", Argument<Report, &LenzSim::ReportNext>},
};

} // namespace

int RunLenz(const Words& args) {
    uint8_t version = 0x36;
    auto takeVersion = [&](const std::string& word) {
        auto v = VersionByte(word);
        if (v) version = *v;
        return v.has_value();
    };
    if (auto end = ReadOptions(args, kHelp, nullptr,
                               {{"--version", takeVersion, "--version takes X.Y, e.g. 3.6"}}))
        return *end;
    return Serve(kCommands, {kHelp, kTypeHelp}, nullptr, version);
}

} // namespace sim::console

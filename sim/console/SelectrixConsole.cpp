// quorrin-sim's own system: a simulated Selectrix central unit behind a pseudo-terminal, for
// trying the tester (or any Selectrix software) without a layout. Commands on stdin play the
// layout's part.
#include "sim/SelectrixSim.h"
#include "sim/console/Console.h"

#include <cstdio>
#include <sstream>

namespace sim::console {

namespace {

const char kHelp[] =
    R"(Usage: quorrin-sim [--system NAME] [--verbose] [--help]

Starts a simulated Selectrix central unit with its PC interface behind a
pseudo-terminal and prints the device path to open (9600 baud, 8 data bits,
2 stop bits). Runs until end of input, "quit", Ctrl-C or SIGTERM.

  --system NAME  selectrix (this one, the default), lenz, intellibox,
                 marklin, kaart or dinamo (quorrin-sim --system NAME --help
                 for its commands)
  --trace        (every system) print each message on the line as it
                 crosses, cut and named: > from the PC, < to it
  --verbose   print every request the PC makes

Commands, one per line (numbers in decimal, 0x.. hex or 0b.. binary):
  power on|off           track power, switched at the unit (address 127)
  feedback ADDR VALUE    the eight inputs of the feedback unit at ADDR
                         (bit 0 = input 1); the PC can no longer overwrite ADDR
  input ADDR N on|off    one input (N = 1..8) of the feedback unit at ADDR
  bus ADDR [VALUE]       show or set the byte at one bus address
  decoder [R104 R105]    show or set the registers of the decoder on the
                         programming track
  timing CLAIM LOAD WRITE RELEASE
                         the programmer's delays in ms (default 80 150 200 30)
  silent on|off          the interface answers nothing
  delay MS               delay every answer by MS milliseconds
  corrupt on|off         answer with the inverted byte
  drop N                 drop every N-th answer (0 = never)
  extra BYTE...          send these bytes after every answer (none: off)
  busy on|off            the programmer is in use by someone else
  neverready on|off      the programmer never gets ready
  show                   power, programmer and every non-zero address
  help                   this text
  quit                   stop

Reading 127 answers 0x80 while the power is on and 0x00 while it is off.
)";

std::string Hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

std::optional<uint8_t> Byte(const std::string& word, long max = 255) {
    auto v = Number(word, max);
    if (!v) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

bool Show(SelectrixSim& sx, const Words&) {
    std::ostringstream out;
    out << "power " << (sx.TrackPower() ? "on" : "off") << ", programmer status "
        << Hex(sx.Bus(kAddrProgStatus));
    auto [r104, r105] = sx.ProgrammingDecoder();
    out << ", decoder " << unsigned(r104) << " " << unsigned(r105) << "\n";
    for (int addr = 0; addr < 127; ++addr) {
        uint8_t v = sx.Bus(static_cast<uint8_t>(addr));
        if (v != 0 && addr != kAddrProgStatus)
            out << "  " << addr << " = " << unsigned(v) << " (" << Hex(v) << ")\n";
    }
    std::string text = out.str();
    text.pop_back();
    Say(text);
    return true;
}

bool Feedback(SelectrixSim& sx, const Words& w) {
    auto addr = w.size() == 3 ? Byte(w[1], 126) : std::nullopt;
    auto value = w.size() == 3 ? Byte(w[2]) : std::nullopt;
    if (addr && value) sx.SetFeedback(*addr, *value);
    return addr && value;
}

bool Input(SelectrixSim& sx, const Words& w) {
    auto addr = w.size() == 4 ? Byte(w[1], 126) : std::nullopt;
    auto n = w.size() == 4 ? Byte(w[2], 8) : std::nullopt;
    auto on = w.size() == 4 ? OnOff(w[3]) : std::nullopt;
    if (!addr || !n || *n < 1 || !on) return false;
    uint8_t bit = static_cast<uint8_t>(1u << (*n - 1));
    uint8_t v = sx.Bus(*addr);
    sx.SetFeedback(*addr, static_cast<uint8_t>(*on ? v | bit : v & ~bit));
    return true;
}

bool Bus(SelectrixSim& sx, const Words& w) {
    auto addr = w.size() >= 2 ? Byte(w[1], 127) : std::nullopt;
    if (!addr || w.size() > 3) return false;
    if (w.size() == 3) {
        auto value = Byte(w[2]);
        if (value) sx.SetBus(*addr, *value);
        return value.has_value();
    }
    uint8_t v = sx.Bus(*addr);
    Say(std::to_string(*addr) + " = " + std::to_string(v) + " (" + Hex(v) + ")");
    return true;
}

bool Decoder(SelectrixSim& sx, const Words& w) {
    if (w.size() == 3) {
        auto a = Byte(w[1]);
        auto b = Byte(w[2]);
        if (a && b) sx.SetProgrammingDecoder(*a, *b);
        return a && b;
    }
    if (w.size() != 1) return false;
    auto [a, b] = sx.ProgrammingDecoder();
    Say("decoder " + std::to_string(a) + " " + std::to_string(b));
    return true;
}

bool Timing(SelectrixSim& sx, const Words& w) {
    std::vector<uint32_t> ms;
    for (size_t i = 1; i < w.size(); ++i) {
        if (auto v = Number(w[i], 60000)) ms.push_back(static_cast<uint32_t>(*v));
    }
    if (w.size() != 5 || ms.size() != 4) return false;
    sx.SetProgrammerTiming({ms[0], ms[1], ms[2], ms[3]});
    return true;
}

bool Extra(SelectrixSim& sx, const Words& w) {
    auto extra = ByteList(w, 1);
    if (extra) sx.SetExtraAnswerBytes(*extra);
    return extra.has_value();
}

const std::vector<Command<SelectrixSim>> kCommands = {
    {"show", Show},
    {"power", Switch<&SelectrixSim::SetTrackPower>},
    {"feedback", Feedback},
    {"input", Input},
    {"bus", Bus},
    {"decoder", Decoder},
    {"timing", Timing},
    {"silent", Switch<&SelectrixSim::SetSilent>},
    {"corrupt", Switch<&SelectrixSim::SetCorruptAnswers>},
    {"busy", Switch<&SelectrixSim::SetProgrammerBusy>},
    {"neverready", Switch<&SelectrixSim::SetProgrammerNeverReady>},
    {"delay", Amount<&SelectrixSim::SetAnswerDelayMs>},
    {"drop", Amount<&SelectrixSim::SetDropEvery>},
    {"extra", Extra},
};

void Monitor(const RequestEvent& e) {
    std::string addr = std::to_string(e.addr);
    if (e.write) {
        Say("PC: write " + addr + " = " + std::to_string(e.value) + " (" + Hex(e.value) + ")");
    } else {
        Say("PC: read " + addr + " -> " +
            (e.answered ? std::to_string(e.value) + " (" + Hex(e.value) + ")"
                        : std::string("no answer")));
    }
}

} // namespace

int RunSelectrix(const Words& args) {
    bool verbose = false;
    if (auto end = ReadOptions(args, kHelp, &verbose)) return *end;
    return Serve(kCommands, {kHelp, kTypeHelp}, verbose ? Monitor : nullptr, size_t{100000});
}

} // namespace sim::console

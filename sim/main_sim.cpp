// quorrin-sim: a simulated Selectrix central unit behind a pseudo-terminal, for trying the tester
// (or any Selectrix software) without a layout. Commands on stdin play the layout's part.
#include "sim/ConsoleLoop.h"
#include "sim/SelectrixSim.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <vector>

// The other systems, each from its own source.
// With `helpOnly` they print their help text and return.
int RunMarklinSim(bool helpOnly);
int RunKaartSim(bool helpOnly);

namespace {

const char kHelp[] =
    R"(Usage: quorrin-sim [--system NAME] [--verbose] [--help]

Starts a simulated Selectrix central unit with its PC interface behind a
pseudo-terminal and prints the device path to open (9600 baud, 8 data bits,
2 stop bits). Runs until end of input, "quit", Ctrl-C or SIGTERM.

  --system NAME  selectrix (this one, the default), lenz, intellibox,
                 marklin, kaart or dinamo (quorrin-sim --system NAME --help
                 for its commands)
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

// Input shown back as printable text: a terminal obeys the control bytes it
// prints, so every byte outside printable ASCII (and the backslash) is shown
// as an escape.
std::string Escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::optional<uint8_t> Byte(const std::string& word, long max = 255) {
    auto v = sim::ConsoleNumber(word);
    if (!v || *v > max) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

void Show(sim::SelectrixSim& sx) {
    std::ostringstream out;
    out << "power " << (sx.TrackPower() ? "on" : "off") << ", programmer status "
        << Hex(sx.Bus(sim::kAddrProgStatus));
    auto [r104, r105] = sx.ProgrammingDecoder();
    out << ", decoder " << unsigned(r104) << " " << unsigned(r105) << "\n";
    for (int addr = 0; addr < 127; ++addr) {
        uint8_t v = sx.Bus(static_cast<uint8_t>(addr));
        if (v != 0 && addr != sim::kAddrProgStatus)
            out << "  " << addr << " = " << unsigned(v) << " (" << Hex(v) << ")\n";
    }
    std::string text = out.str();
    text.pop_back();
    sim::ConsoleSay(text);
}

// Runs one command line; false for "quit".
bool Execute(sim::SelectrixSim& sx, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    auto bad = [&] { sim::ConsoleSay("? " + Escaped(line) + "   (type help)"); };
    auto flag = [&](void (sim::SelectrixSim::*set)(bool)) {
        auto on = w.size() == 2 ? sim::ConsoleOnOff(w[1]) : std::nullopt;
        on ? (sx.*set)(*on) : bad();
    };

    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(kHelp);
    } else if (cmd == "show") {
        Show(sx);
    } else if (cmd == "power") {
        flag(&sim::SelectrixSim::SetTrackPower);
    } else if (cmd == "feedback") {
        auto addr = w.size() == 3 ? Byte(w[1], 126) : std::nullopt;
        auto value = w.size() == 3 ? Byte(w[2]) : std::nullopt;
        addr&& value ? sx.SetFeedback(*addr, *value) : bad();
    } else if (cmd == "input") {
        auto addr = w.size() == 4 ? Byte(w[1], 126) : std::nullopt;
        auto n = w.size() == 4 ? Byte(w[2], 8) : std::nullopt;
        auto on = w.size() == 4 ? sim::ConsoleOnOff(w[3]) : std::nullopt;
        if (!addr || !n || *n < 1 || !on) return bad(), true;
        uint8_t bit = static_cast<uint8_t>(1u << (*n - 1));
        uint8_t v = sx.Bus(*addr);
        sx.SetFeedback(*addr, static_cast<uint8_t>(*on ? v | bit : v & ~bit));
    } else if (cmd == "bus") {
        auto addr = w.size() >= 2 ? Byte(w[1], 127) : std::nullopt;
        if (!addr || w.size() > 3) return bad(), true;
        if (w.size() == 3) {
            auto value = Byte(w[2]);
            value ? sx.SetBus(*addr, *value) : bad();
        } else {
            uint8_t v = sx.Bus(*addr);
            sim::ConsoleSay(std::to_string(*addr) + " = " + std::to_string(v) + " (" + Hex(v) +
                            ")");
        }
    } else if (cmd == "decoder") {
        if (w.size() == 3) {
            auto a = Byte(w[1]);
            auto b = Byte(w[2]);
            a&& b ? sx.SetProgrammingDecoder(*a, *b) : bad();
        } else if (w.size() == 1) {
            auto [a, b] = sx.ProgrammingDecoder();
            sim::ConsoleSay("decoder " + std::to_string(a) + " " + std::to_string(b));
        } else {
            bad();
        }
    } else if (cmd == "timing") {
        std::vector<uint32_t> ms;
        for (size_t i = 1; i < w.size(); ++i) {
            auto v = sim::ConsoleNumber(w[i]);
            if (v && *v <= 60000) ms.push_back(static_cast<uint32_t>(*v));
        }
        if (w.size() != 5 || ms.size() != 4) return bad(), true;
        sx.SetProgrammerTiming({ms[0], ms[1], ms[2], ms[3]});
    } else if (cmd == "silent") {
        flag(&sim::SelectrixSim::SetSilent);
    } else if (cmd == "corrupt") {
        flag(&sim::SelectrixSim::SetCorruptAnswers);
    } else if (cmd == "busy") {
        flag(&sim::SelectrixSim::SetProgrammerBusy);
    } else if (cmd == "neverready") {
        flag(&sim::SelectrixSim::SetProgrammerNeverReady);
    } else if (cmd == "delay" || cmd == "drop") {
        auto v = w.size() == 2 ? sim::ConsoleNumber(w[1]) : std::nullopt;
        if (!v || *v > 60000) return bad(), true;
        cmd == "delay" ? sx.SetAnswerDelayMs(static_cast<int>(*v))
                       : sx.SetDropEvery(static_cast<int>(*v));
    } else if (cmd == "extra") {
        std::string extra;
        for (size_t i = 1; i < w.size(); ++i) {
            auto b = Byte(w[i]);
            if (!b) return bad(), true;
            extra.push_back(static_cast<char>(*b));
        }
        sx.SetExtraAnswerBytes(extra);
    } else {
        bad();
    }
    return true;
}

void Monitor(const sim::RequestEvent& e) {
    std::string addr = std::to_string(e.addr);
    if (e.write) {
        sim::ConsoleSay("PC: write " + addr + " = " + std::to_string(e.value) + " (" +
                        Hex(e.value) + ")");
    } else {
        sim::ConsoleSay("PC: read " + addr + " -> " +
                        (e.answered ? std::to_string(e.value) + " (" + Hex(e.value) + ")"
                                    : std::string("no answer")));
    }
}

} // namespace

// The other simulated systems, each in its own main_<system>.cpp.
int RunDinamoSim(const std::vector<std::string>& args);
int LenzSimMain(const std::vector<std::string>& args);
int IntelliboxSimMain(int argc, char** argv);

int main(int argc, char** argv) {
    // --system NAME picks the simulated command station; selectrix unless
    // given. Every other option belongs to it.
    std::string system = "selectrix";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--system" && i + 1 < argc)
            system = argv[++i];
        else if (arg.rfind("--system=", 0) == 0)
            system = arg.substr(9);
        else
            args.push_back(arg);
    }
    if (system == "dinamo") return RunDinamoSim(args);
    if (system == "lenz") return LenzSimMain(args);
    if (system == "intellibox") {
        std::vector<char*> rest{argv[0]};
        for (std::string& a : args)
            rest.push_back(a.data());
        return IntelliboxSimMain(static_cast<int>(rest.size()), rest.data());
    }
    if (system == "marklin" || system == "kaart") {
        bool help = false;
        for (const std::string& a : args)
            help = help || a == "--help" || a == "-h";
        return system == "marklin" ? RunMarklinSim(help) : RunKaartSim(help);
    }
    if (system != "selectrix") {
        std::cerr << "quorrin-sim: unknown system " << system
                  << " (selectrix, lenz, intellibox, marklin, kaart, dinamo)\n";
        return 2;
    }

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

    // A closed standard output must not end the simulator: printing then
    // fails quietly and serving goes on.
    signal(SIGPIPE, SIG_IGN);

    return sim::ServeConsole([&](int sigFd) {
        sim::SelectrixSim sx(100000);
        if (verbose) sx.SetRequestMonitor(Monitor);
        sim::ConsoleSay(sx.DevicePath());

        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(sx, line); });
        sx.SetRequestMonitor(nullptr);
    });
}

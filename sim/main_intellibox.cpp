// quorrin-sim --system intellibox: a simulated Intellibox / TWIN-Center behind a
// pseudo-terminal. Commands on stdin switch its mode, rate, reply codes and faults.
#include "sim/ConsoleLoop.h"
#include "sim/IntelliboxSim.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

int IntelliboxSimMain(int argc, char** argv);

namespace {

const char kHelp[] =
    R"(Usage: quorrin-sim --system intellibox [--mode mixed|p50x|p50] [--baud RATE] [--verbose]

Starts a simulated Intellibox / TWIN-Center behind a pseudo-terminal and prints
the device path to open. It hears the PC only while the line is set to its own
rate (2400 after start; "B..." commands move it) and answers at that rate.
A pseudo-terminal passes no break, so none is needed. Runs until end of input,
"quit", Ctrl-C or SIGTERM.

  --mode      mixed (P50X after "x", P50 bare; default), p50x (P50X only),
              p50 (the old P50 protocol only)
  --baud      2400 (default), 4800, 9600, 19200 or 38400
  --verbose   print every command the PC sends

Commands, one per line (numbers in decimal or 0x.. hex):
  mode mixed|p50x|p50    the protocol mode
  baud RATE              the rate the interface runs at
  probe 1|2              bytes that answer the probe 0xC4
  modeprobe N|off        answer the mode probe "X" CR with N bytes (off: the
                         mode's own answer)
  code N                 reply code of every binary command from now on
  nextcode N             reply code of the next binary command only
  silent on|off          answer nothing
  ignorebaud on|off      answer "B..." but stay at the rate
  endless N|forever|off  the next text answer is N bytes without "]"
  noise on|off           answer bytes sent at a wrong rate with a noise byte
  pacing on|off          answers take their time on the line (default on)
  feedback MODULE VALUE  the 16 inputs of a P50 feedback module
  show                   mode, rate, power and the locomotives
  help                   this text
  quit                   stop
)";

std::optional<long> Number(const std::string& word) {
    int base = 10;
    std::string digits = word;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        digits = word.substr(2);
    }
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(digits.c_str(), &end, base);
    if (*end != '\0' || v < 0) return std::nullopt;
    return v;
}

std::optional<sim::IBMode> ModeOf(const std::string& word) {
    if (word == "mixed") return sim::IBMode::Mixed;
    if (word == "p50x") return sim::IBMode::P50XOnly;
    if (word == "p50") return sim::IBMode::P50Only;
    return std::nullopt;
}

bool KnownBaud(long v) {
    return v == 2400 || v == 4800 || v == 9600 || v == 19200 || v == 38400;
}

const char* ModeName(sim::IBMode mode) {
    switch (mode) {
    case sim::IBMode::Mixed:
        return "mixed";
    case sim::IBMode::P50XOnly:
        return "p50x";
    case sim::IBMode::P50Only:
        return "p50";
    }
    return "?";
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        }
    }
    return out;
}

void Monitor(const sim::IBCommand& c) {
    static const char* kKinds[] = {"P50X text", "P50X binary", "P50", "P50 wrapped"};
    sim::ConsoleSay("PC: " + std::string(kKinds[static_cast<int>(c.kind)]) + " " +
                    Printable(c.bytes) + " -> " +
                    (c.answer.empty() ? "no answer" : Printable(c.answer)));
}

// Returns false on "quit".
bool Execute(sim::IntelliboxSim& ib, sim::IBMode& mode, const std::string& line) {
    std::vector<std::string> w = sim::ConsoleWords(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    auto bad = [&] { sim::ConsoleSay("? " + line + " (try help)"); };
    auto onOff = [&](void (sim::IntelliboxSim::*set)(bool)) {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return bad();
        (ib.*set)(w[1] == "on");
    };
    auto arg = [&]() -> std::optional<long> { return w.size() == 2 ? Number(w[1]) : std::nullopt; };

    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        sim::ConsoleSay(std::string(kHelp, sizeof kHelp - 2)); // without its last line break
    } else if (cmd == "mode") {
        auto m = w.size() == 2 ? ModeOf(w[1]) : std::nullopt;
        if (!m) return bad(), true;
        mode = *m;
        ib.SetMode(mode);
    } else if (cmd == "baud") {
        auto v = arg();
        if (!v || !KnownBaud(*v)) return bad(), true;
        ib.SetBaud(static_cast<unsigned>(*v));
    } else if (cmd == "probe") {
        auto v = arg();
        if (!v || (*v != 1 && *v != 2)) return bad(), true;
        ib.SetProbeAnswerBytes(static_cast<int>(*v));
    } else if (cmd == "modeprobe") {
        if (w.size() == 2 && w[1] == "off") {
            ib.SetModeProbeAnswer(std::nullopt);
        } else {
            auto v = arg();
            if (!v || *v > 100000) return bad(), true;
            ib.SetModeProbeAnswer(std::string(static_cast<size_t>(*v), 'a'));
        }
    } else if (cmd == "code" || cmd == "nextcode") {
        auto v = arg();
        if (!v || *v > 255) return bad(), true;
        cmd == "code" ? ib.SetReplyCode(static_cast<uint8_t>(*v))
                      : ib.SetNextReplyCode(static_cast<uint8_t>(*v));
    } else if (cmd == "silent") {
        onOff(&sim::IntelliboxSim::SetSilent);
    } else if (cmd == "ignorebaud") {
        onOff(&sim::IntelliboxSim::SetIgnoreBaudChange);
    } else if (cmd == "noise") {
        onOff(&sim::IntelliboxSim::SetNoiseAtWrongRate);
    } else if (cmd == "pacing") {
        onOff(&sim::IntelliboxSim::SetPacing);
    } else if (cmd == "endless") {
        if (w.size() == 2 && w[1] == "forever") {
            ib.SetEndlessText(SIZE_MAX);
        } else if (w.size() == 2 && w[1] == "off") {
            ib.SetEndlessText(0);
        } else {
            auto v = arg();
            if (!v) return bad(), true;
            ib.SetEndlessText(static_cast<size_t>(*v));
        }
    } else if (cmd == "feedback") {
        auto m = w.size() == 3 ? Number(w[1]) : std::nullopt;
        auto v = w.size() == 3 ? Number(w[2]) : std::nullopt;
        if (!m || !v || *m < 1 || *m > 31 || *v > 0xFFFF) return bad(), true;
        ib.SetFeedback(static_cast<uint8_t>(*m), static_cast<uint16_t>(*v));
    } else if (cmd == "show") {
        std::string s = std::string("mode ") + ModeName(mode) + ", " + std::to_string(ib.Baud()) +
                        " baud, line " + std::to_string(ib.Line().baud) + " baud, power " +
                        (ib.Power() ? "on" : "off");
        sim::ConsoleSay(s);
        for (const auto& [addr, loc] : ib.Locs())
            sim::ConsoleSay("loc " + std::to_string(addr) + ": speed " + std::to_string(loc.speed) +
                            (loc.forward ? " forward" : " backward") + (loc.light ? " light" : "") +
                            " functions " + std::to_string(loc.functions));
        for (const auto& [addr, first] : ib.P50Locs())
            sim::ConsoleSay("P50 loc " + std::to_string(addr) + ": " + std::to_string(first));
    } else {
        bad();
    }
    return true;
}

} // namespace

int IntelliboxSimMain(int argc, char** argv) {
    bool verbose = false;
    sim::IBMode mode = sim::IBMode::Mixed;
    unsigned baud = 2400;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kHelp;
            return 0;
        }
        if (a == "--verbose" || a == "-v") {
            verbose = true;
        } else if (a == "--mode" && i + 1 < argc && ModeOf(argv[i + 1])) {
            mode = *ModeOf(argv[++i]);
        } else if (a == "--baud" && i + 1 < argc) {
            auto v = Number(argv[++i]);
            if (!v || !KnownBaud(*v)) {
                std::cerr << "quorrin-sim: --baud takes 2400, 4800, 9600, 19200 or 38400\n";
                return 2;
            }
            baud = static_cast<unsigned>(*v);
        } else {
            std::cerr << "quorrin-sim: unknown option " << a << " (try --help)\n";
            return 2;
        }
    }

    return sim::ServeConsole([&](int sigFd) {
        sim::IntelliboxSim ib(mode, baud);
        if (verbose) ib.SetRequestMonitor(Monitor);
        sim::ConsoleSay(ib.DevicePath());
        sim::ConsoleLoop(sigFd, [&](const std::string& line) { return Execute(ib, mode, line); });
        ib.SetRequestMonitor(nullptr);
    });
}

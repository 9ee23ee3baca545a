// quorrin-sim --system intellibox: a simulated Intellibox / TWIN-Center behind a
// pseudo-terminal. Commands on stdin switch its mode, rate, reply codes and faults.
#include "sim/IntelliboxSim.h"
#include "sim/console/Console.h"

#include <cstdint>
#include <cstdio>

namespace sim::console {

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

std::optional<IBMode> ModeOf(const std::string& word) {
    if (word == "mixed") return IBMode::Mixed;
    if (word == "p50x") return IBMode::P50XOnly;
    if (word == "p50") return IBMode::P50Only;
    return std::nullopt;
}

const char* ModeName(IBMode mode) {
    switch (mode) {
    case IBMode::Mixed:
        return "mixed";
    case IBMode::P50XOnly:
        return "p50x";
    case IBMode::P50Only:
        return "p50";
    }
    return "?";
}

// The rates the interface runs at; nothing for any other.
std::optional<unsigned> RateOf(const std::string& word) {
    auto v = Number(word);
    if (!v || (*v != 2400 && *v != 4800 && *v != 9600 && *v != 19200 && *v != 38400))
        return std::nullopt;
    return static_cast<unsigned>(*v);
}

void Monitor(const IBCommand& c) {
    static const char* kKinds[] = {"P50X text", "P50X binary", "P50", "P50 wrapped"};
    Say("PC: " + std::string(kKinds[static_cast<int>(c.kind)]) + " " +
        Printable(c.bytes, "<%02X>", false) + " -> " +
        (c.answer.empty() ? "no answer" : Printable(c.answer, "<%02X>", false)));
}

// The number after the command (w.size() == 2), up to `max`.
std::optional<long> NumberAfter(const Words& w, long max = LONG_MAX) {
    return w.size() == 2 ? Number(w[1], max) : std::nullopt;
}

bool Help(IntelliboxSim&, const Words&) {
    Say(std::string(kHelp, sizeof kHelp - 2)); // without its last line break
    return true;
}

bool Probe(IntelliboxSim& ib, const Words& w) {
    auto v = NumberAfter(w, 2);
    if (!v || *v < 1) return false;
    ib.SetProbeAnswerBytes(static_cast<int>(*v));
    return true;
}

bool ModeProbe(IntelliboxSim& ib, const Words& w) {
    if (w.size() == 2 && w[1] == "off") {
        ib.SetModeProbeAnswer(std::nullopt);
        return true;
    }
    auto v = NumberAfter(w, 100000);
    if (v) ib.SetModeProbeAnswer(std::string(static_cast<size_t>(*v), 'a'));
    return v.has_value();
}

// A reply code as typed.
std::optional<uint8_t> ReplyCode(const std::string& word) {
    auto v = Number(word, 255);
    if (!v) return std::nullopt;
    return static_cast<uint8_t>(*v);
}

bool Endless(IntelliboxSim& ib, const Words& w) {
    auto v = NumberAfter(w);
    if (w.size() == 2 && w[1] == "forever") {
        ib.SetEndlessText(SIZE_MAX);
    } else if (w.size() == 2 && w[1] == "off") {
        ib.SetEndlessText(0);
    } else if (v) {
        ib.SetEndlessText(static_cast<size_t>(*v));
    } else {
        return false;
    }
    return true;
}

bool Feedback(IntelliboxSim& ib, const Words& w) {
    auto m = w.size() == 3 ? NumberIn(w[1], 1, 31) : std::nullopt;
    auto v = w.size() == 3 ? Number(w[2], 0xFFFF) : std::nullopt;
    if (!m || !v) return false;
    ib.SetFeedback(static_cast<uint8_t>(*m), static_cast<uint16_t>(*v));
    return true;
}

bool Show(IntelliboxSim& ib, const Words&) {
    Say(std::string("mode ") + ModeName(ib.Mode()) + ", " + std::to_string(ib.Baud()) +
        " baud, line " + std::to_string(ib.Line().baud) + " baud, power " +
        (ib.Power() ? "on" : "off"));
    for (const auto& [addr, loco] : ib.Locos())
        Say("loc " + std::to_string(addr) + ": speed " + std::to_string(loco.speed) +
            (loco.forward ? " forward" : " backward") + (loco.light ? " light" : "") +
            " functions " + std::to_string(loco.functions));
    for (const auto& [addr, first] : ib.P50Locos())
        Say("P50 loc " + std::to_string(addr) + ": " + std::to_string(first));
    return true;
}

const std::vector<Command<IntelliboxSim>> kCommands = {
    {"help", Help},
    {"mode", Argument<ModeOf, &IntelliboxSim::SetMode>},
    {"baud", Argument<RateOf, &IntelliboxSim::SetBaud>},
    {"probe", Probe},
    {"modeprobe", ModeProbe},
    {"code", Argument<ReplyCode, &IntelliboxSim::SetReplyCode>},
    {"nextcode", Argument<ReplyCode, &IntelliboxSim::SetNextReplyCode>},
    {"silent", Switch<&IntelliboxSim::SetSilent>},
    {"ignorebaud", Switch<&IntelliboxSim::SetIgnoreBaudChange>},
    {"noise", Switch<&IntelliboxSim::SetNoiseAtWrongRate>},
    {"pacing", Switch<&IntelliboxSim::SetPacing>},
    {"endless", Endless},
    {"feedback", Feedback},
    {"show", Show},
};

} // namespace

int RunIntellibox(const Words& args) {
    bool verbose = false;
    IBMode mode = IBMode::Mixed;
    unsigned baud = 2400;
    auto takeMode = [&](const std::string& word) {
        auto m = ModeOf(word);
        if (m) mode = *m;
        return m.has_value();
    };
    auto takeBaud = [&](const std::string& word) {
        auto rate = RateOf(word);
        if (rate) baud = *rate;
        return rate.has_value();
    };
    if (auto end =
            ReadOptions(args, kHelp, &verbose,
                        {{"--mode", takeMode, "--mode takes mixed, p50x or p50"},
                         {"--baud", takeBaud, "--baud takes 2400, 4800, 9600, 19200 or 38400"}}))
        return *end;
    return Serve(kCommands, {kHelp, " (try help)"}, verbose ? Monitor : nullptr, mode, baud);
}

} // namespace sim::console

// quorrin-sim --system kaart: the simulated serial card in a rack, driven from stdin.
#include "sim/KaartSim.h"
#include "sim/console/Console.h"

namespace sim::console {

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

bool Module(KaartSim& ks, const Words& w) {
    auto n = w.size() == 2 || w.size() == 3 ? Number(w[1], 127) : std::nullopt;
    if (!n) return false;
    auto module = static_cast<uint8_t>(*n);
    if (w.size() == 2) {
        Say("module " + w[1] + " = " + std::to_string(ks.Module(module)));
        return true;
    }
    auto v = Number(w[2], 255);
    if (v) ks.SetModule(module, static_cast<uint8_t>(*v));
    return v.has_value();
}

bool Reset(KaartSim& ks, const Words&) {
    ks.Reset();
    return true;
}

bool Echo(KaartSim& ks, const Words& w) {
    if (w.size() != 2) return false;
    auto v = w[1] == "right" ? std::optional<long>(-1) : Number(w[1], 255);
    if (v) ks.SetWrongEcho(static_cast<int>(*v));
    return v.has_value();
}

bool Show(KaartSim& ks, const Words&) {
    Say(std::to_string(ks.Baud()) + " baud, configuration " + std::to_string(ks.LastConfig()) +
        ", " + std::to_string(ks.Requests()) + " requests, " + std::to_string(ks.Probes()) +
        " probes, " + std::to_string(ks.BytesDropped()) + " bytes dropped");
    return true;
}

const std::vector<Command<KaartSim>> kCommands = {
    {"module", Module},
    {"reset", Reset},
    {"silent", Switch<&KaartSim::SetSilent>},
    {"echo", Echo},
    {"onebyte", Switch<&KaartSim::SetOneByteAnswers>},
    {"show", Show},
};

} // namespace

int RunKaart(const Words& args) {
    if (auto end = ReadOptions(args, kHelp)) return *end;
    return Serve(kCommands, {kHelp, kTypeHelp}, nullptr);
}

} // namespace sim::console

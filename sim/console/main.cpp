// quorrin-sim: a simulated command station behind a pseudo-terminal. --system NAME picks the
// system (Selectrix unless given), --trace shows the line decoded; every other option belongs
// to that system's console.
#include "sim/console/Console.h"

#include <iostream>
#include <signal.h>
#include <string>

namespace {

struct System {
    const char* name;
    int (*run)(const sim::console::Words& args);
};

const System kSystems[] = {
    {"selectrix", sim::console::RunSelectrix},   {"lenz", sim::console::RunLenz},
    {"intellibox", sim::console::RunIntellibox}, {"marklin", sim::console::RunMarklin},
    {"kaart", sim::console::RunKaart},           {"dinamo", sim::console::RunDinamo},
};

} // namespace

int main(int argc, char** argv) {
    std::string system = "selectrix";
    sim::console::Words args;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--system" && i + 1 < argc)
            system = argv[++i];
        else if (arg.rfind("--system=", 0) == 0)
            system = arg.substr(9);
        else if (arg == "--trace")
            trace = true;
        else
            args.push_back(arg);
    }
    // A closed standard output must not end the simulator: printing then fails quietly and
    // serving goes on.
    signal(SIGPIPE, SIG_IGN);
    std::string known;
    for (const System& s : kSystems) {
        if (system != s.name) continue;
        if (trace) sim::console::SetTraceSystem(system);
        return s.run(args);
        known += (known.empty() ? "" : ", ") + std::string(s.name);
    }
    std::cerr << "quorrin-sim: unknown system " << system << " (" << known << ")\n";
    return 2;
}

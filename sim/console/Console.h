// The console side of quorrin-sim: a simulator driven by command lines on standard input, with
// stop signals arriving through a signalfd. Each system's console is a table of commands run
// by the same loop.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace sim::console {

// The words of a command line (w[0] is the command), or a console's options.
using Words = std::vector<std::string>;

// Blocks SIGINT, SIGTERM and SIGHUP for this thread and every thread started after it (call it
// before the simulator starts its thread) and returns a signalfd for them, -1 on failure.
int BlockStopSignals();

// Runs a simulator from the console and returns the program's exit code: blocks the stop
// signals, then `serve` makes the simulator, prints its device path and hands the signalfd to
// Loop. 1, with the reason on stderr, when the signalfd or the simulator cannot be made.
int ServeConsole(const std::function<void(int sigFd)>& serve);

// Runs `execute` for every line on stdin until it returns false, stdin ends or a signal arrives
// on `sigFd`. Closes `sigFd`.
void Loop(int sigFd, const std::function<bool(const std::string&)>& execute);

// Prints one line to stdout (safe from the simulator's thread).
void Say(const std::string& line);

// A command line split at white space.
Words SplitWords(const std::string& line);
// A number as typed at the console: decimal (a leading 0 does not make it octal), 0x... or
// 0b...; nothing for anything else, negative numbers and numbers above `max` included.
std::optional<long> Number(const std::string& word, long max = LONG_MAX);
// The same within lo..hi.
std::optional<long> NumberIn(const std::string& word, long lo, long hi);
// "on"/"1" and "off"/"0"; nothing for anything else.
std::optional<bool> OnOff(const std::string& word);
// The one on/off word after the command (w.size() == 2); nothing otherwise.
std::optional<bool> OnOffArgument(const Words& w);
// The words from `from` on as bytes (0..255 each); nothing when one is not a byte.
std::optional<std::string> ByteList(const Words& w, size_t from);
// Text as printable ASCII, every other byte written with `format` (of its value, e.g.
// "<%02X>"); with `doubleBackslash`, a backslash is doubled so that the text reads back
// unambiguously.
std::string Printable(const std::string& text, const char* format, bool doubleBackslash);
// Input shown back: a terminal obeys the control bytes it prints, so every byte outside
// printable ASCII (and the backslash) is shown as an escape (\x1B).
std::string Escaped(const std::string& text);

// One command of a console: its name and what it does with the words of its line; false when
// the words do not fit, so the console says it did not understand the line.
template <class Sim> struct Command {
    const char* name;
    bool (*run)(Sim& sim, const Words& w);
};

// What a console says: its help text ("help", --help) and what follows a line it did not
// understand (most say kTypeHelp).
struct Texts {
    const char* help;
    const char* hint;
};
constexpr const char* kTypeHelp = "   (type help)";

// Runs one command line; false for "quit" (or "exit"). A command of the table runs first, then
// "help"; anything else is shown back, escaped, with the hint.
template <class Sim>
bool Execute(Sim& sim, const std::vector<Command<Sim>>& commands, const Texts& texts,
             const std::string& line) {
    Words w = SplitWords(line);
    if (w.empty()) return true;
    if (w[0] == "quit" || w[0] == "exit") return false;
    for (const Command<Sim>& command : commands) {
        if (w[0] != command.name) continue;
        if (!command.run(sim, w)) Say("? " + Escaped(line) + texts.hint);
        return true;
    }
    Say(w[0] == "help" ? std::string(texts.help) : "? " + Escaped(line) + texts.hint);
    return true;
}

// A command with one word after it: `Parse` reads it (nothing: it does not fit) and the
// simulator's setter `Set` takes what it read.
template <auto Parse, auto Set> bool Argument(auto& sim, const Words& w) {
    auto v = w.size() == 2 ? Parse(w[1]) : std::nullopt;
    if (v) (sim.*Set)(*v);
    return v.has_value();
}

// A number 0..Max (milliseconds or a count).
template <long Max> std::optional<int> UpTo(const std::string& word) {
    auto v = Number(word, Max);
    if (!v) return std::nullopt;
    return static_cast<int>(*v);
}

// A command with one on/off word.
template <auto Set> bool Switch(auto& sim, const Words& w) {
    return Argument<OnOff, Set>(sim, w);
}

// A command with one number 0..Max.
template <auto Set, long Max = 60000> bool Amount(auto& sim, const Words& w) {
    return Argument<UpTo<Max>, Set>(sim, w);
}

// An option that takes a value: its name, what takes the value (false: not a fitting value)
// and what is said of a value that does not fit.
struct ValueOption {
    const char* name;
    std::function<bool(const std::string&)> take;
    const char* expects;
};

// Reads a console's options. --help or -h prints `help` and ends the program with 0;
// --verbose or -v sets `*verbose` where the console has the option (`verbose` not null); an
// option of `valued` takes the word after it. Anything else ends the program with 2 and a line
// on stderr. Returns the exit code when the program is to end, nothing to go on.
std::optional<int> ReadOptions(const Words& args, const char* help, bool* verbose = nullptr,
                               const std::vector<ValueOption>& valued = {});

// --trace: every message on the line, cut and named by `system`'s decoder, printed as it
// crosses ("trace MS ms > BYTES  KIND: MEANING"; > from the PC, < to it). Set by main before
// the console runs.
void SetTraceSystem(const std::string& system);
// The tap that prints them, or an empty one when --trace was not given.
std::function<void(bool fromPc, uint64_t atUs, const char* data, size_t n)> TraceTap();

// Serves a simulator made of `simArgs` on the console until quit: prints its device path,
// then runs every line of standard input through `commands`. A `monitor` (not null: --verbose)
// is told of every exchange. The simulator is made once the stop signals are blocked, so its
// thread never takes one.
template <class Sim, class Monitor, class... Args>
int Serve(const std::vector<Command<Sim>>& commands, const Texts& texts, Monitor monitor,
          const Args&... simArgs) {
    return ServeConsole([&](int sigFd) {
        Sim sim(simArgs...);
        if constexpr (!std::is_same_v<Monitor, std::nullptr_t>) {
            if (monitor) sim.SetMonitor(monitor);
        }
        sim.SetLineTap(TraceTap());
        Say(sim.DevicePath());
        Loop(sigFd, [&](const std::string& line) { return Execute(sim, commands, texts, line); });
    });
}

// The consoles, one a system; `args` are the options after --system NAME.
int RunSelectrix(const Words& args);
int RunLenz(const Words& args);
int RunIntellibox(const Words& args);
int RunMarklin(const Words& args);
int RunKaart(const Words& args);
int RunDinamo(const Words& args);

} // namespace sim::console

#include "cli/Commands.h"

#include "cli/Cli.h"
#include "cli/Output.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace cli {
namespace {

constexpr std::array<const char*, 11> kCommandNames{
    "", "ports", "probe", "power", "loco", "feedback", "write", "version", "watch", "do", "shell"};

constexpr const char* kSystemAddressHelp =
    "selectrix: allow the central unit's own addresses 112..127 on purpose (127 is the track "
    "power)";

} // namespace

// The validator's name stays empty so the help's type names are kept.
const CLI::Validator kNumber(
    [](std::string& text) -> std::string {
        if (text.find_first_not_of(" \t") == std::string::npos)
            return "a number is needed, not \"" + text + "\"";
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') return "not a number: " + text;
        if (!std::isfinite(value)) return "not a finite number: " + text;
        return {};
    },
    "");

void AddCommands(CLI::App& app, Request& req) {
    auto named = [&req](Command command) { return [&req, command] { req.command = command; }; };
    app.add_subcommand("ports", "list the serial ports of this machine")
        ->callback(named(Command::Ports));
    app.add_subcommand("probe", "initialise the interface and test the connection")
        ->callback(named(Command::Probe));
    auto* power = app.add_subcommand("power", "switch the track power on or off, or show it");
    power->add_option("what", req.powerWhat, "on, off or state")
        ->required()
        ->check(CLI::IsMember({"on", "off", "state"}));
    power->add_flag("--track", req.track,
                    "lenz, with off: switch the track off (21 80) instead of the emergency stop "
                    "(80) that power off is there; an addition to the interface's set");
    power->callback(named(Command::Power));
    auto* loco = app.add_subcommand("loco", "drive a locomotive (selectrix 0..111, 112..127 with "
                                            "--system-address, marklin 0..255, lenz 0..9999, "
                                            "intellibox 0..10239)");
    loco->add_option("address", req.address, "locomotive address")->required()->check(kNumber);
    loco->add_option("--speed", req.speed,
                     "speed step (needed but with --change-direction): selectrix 0..31, "
                     "marklin 0..14, lenz and intellibox 0..127 (the intellibox keeps it to "
                     "--ib-steps)")
        ->check(kNumber);
    loco->add_flag("--change-direction", req.changeDirection,
                   "marklin: the interface's change-direction code (speed code 15) instead of a "
                   "speed");
    loco->add_flag("--light", req.light, "light on");
    loco->add_flag("--system-address", req.systemAddress, kSystemAddressHelp);
    loco->add_flag("--backward", req.backward, "drive backward");
    for (int i = 0; i < 4; ++i)
        loco->add_flag("--f" + std::to_string(i + 1), req.functions[static_cast<size_t>(i)],
                       "function " + std::to_string(i + 1) + " on");
    loco->add_option("--lenz-steps", req.lenzSteps,
                     "Lenz step mode: 1..3 old form 14/27/28 steps, 4 128 steps, 5..8 with "
                     "the step mode byte")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(1, 8));
    loco->add_option("--ib-steps", req.ibSteps, "Intellibox speed steps (14, 15, 27, 28, 31)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::IsMember({14, 15, 27, 28, 31}));
    loco->add_flag("--ib-old", req.ibOld, "Intellibox: the old two-byte command");
    // Which options were given: a system refuses those it cannot carry.
    loco->callback([&req, loco] {
        req.command = Command::Loco;
        for (const CLI::Option* o : loco->get_options())
            if (o->count() > 0) req.given.push_back(o->get_name());
    });
    auto* feedback = app.add_subcommand(
        "feedback",
        "read a feedback address (selectrix 0..111, marklin module 1..31, lenz "
        "module 1..128, kaart module 0..127; intellibox: sends the sensor request only, "
        "its answer is not read out)");
    feedback->add_option("address", req.address, "address or module")->required()->check(kNumber);
    feedback->add_option("--request", req.request, "serial card: the request value (0..255)")
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    feedback->add_flag("--all", req.all, "Märklin: read modules 1 up to this one");
    feedback->add_flag("--flag2", req.flag2, "serial card: the second flag");
    feedback->callback(named(Command::Feedback));
    auto* write = app.add_subcommand("write", "write a value to a Selectrix function decoder");
    write->add_option("address", req.address, "address 0..111 (112..127 with --system-address)")
        ->required()
        ->check(kNumber)
        ->check(CLI::Range(0, 127));
    write->add_option("value", req.value, "value 0..255")
        ->required()
        ->check(kNumber)
        ->check(CLI::Range(0, 255));
    write->add_flag("--system-address", req.systemAddress, kSystemAddressHelp);
    write->callback(named(Command::Write));
    app.add_subcommand("version", "the Lenz interface's version")
        ->callback(named(Command::Version));
    auto* watch = app.add_subcommand(
        "watch", "print Lenz broadcasts and DINAMO reports as they arrive until the time is "
                 "up or Ctrl-C");
    watch->add_option("--seconds", req.seconds, "stop after this many seconds (0: never)")
        ->capture_default_str()
        ->check(kNumber)
        ->check(CLI::Range(0.0, 86400.0));
    watch->callback(named(Command::Watch));
    app.require_subcommand(1, 1);
}

std::string CommandName(Command command) {
    return kCommandNames[static_cast<size_t>(command)];
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

CommandParser::CommandParser(bool jsonErrors) : jsonErrors_(jsonErrors) {
    AddCommands(app_, parsed_);
}

Parsed CommandParser::Parse(const std::string& line, Request& req) {
    CLI::App& app = app_;
    parsed_ = Request{};
    std::vector<std::string> args = Words(line);
    const std::string first = args.empty() ? std::string() : args.front();
    std::reverse(args.begin(), args.end()); // CLI11 takes them last first
    auto wrong = [&](const std::string& text) {
        std::cerr << "quorrin-cli: " << text << std::endl;
        if (jsonErrors_) PrintJsonError(first, kWrongUse, text);
        return Parsed::WrongUse;
    };
    try {
        bool known = true;
        if (!first.empty() && first[0] != '-') {
            try {
                known = app.get_subcommand_ptr(first) != nullptr;
            } catch (const CLI::OptionNotFound&) {
                known = false;
            }
        }
        if (!known)
            return wrong(first + ": unknown command (ports, probe, power, loco, feedback, write, "
                                 "version, watch; --help lists them)");
        app.parse(args);
        req = parsed_;
    } catch (const CLI::CallForHelp&) {
        Print(app.help());
        return Parsed::Help;
    } catch (const CLI::ParseError& e) {
        return wrong(line + ": " + e.what());
    }
    return Parsed::Command;
}

} // namespace cli

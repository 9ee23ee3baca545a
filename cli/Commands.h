// The commands of quorrin-cli and how one is read: from the arguments, a
// `do` argument or a shell line.
#pragma once

#include <CLI/CLI.hpp>

#include <array>
#include <string>
#include <vector>

namespace cli {

enum class Command { None, Ports, Probe, Power, Loco, Feedback, Write, Version, Watch, Do, Shell };

// The command's word ("loco"); empty for None.
std::string CommandName(Command command);

// One command as parsed (from the arguments, a `do` argument or a shell line).
struct Request {
    Command command = Command::None;
    std::string powerWhat;
    bool track = false; // power off --track
    int address = 0;
    int value = 0;
    int speed = 0;
    bool light = false;
    bool backward = false;
    std::array<bool, 4> functions{};
    int lenzSteps = 3;
    int ibSteps = 14;
    bool ibOld = false;
    int request = 0;
    bool all = false;
    bool flag2 = false;
    bool systemAddress = false;
    bool changeDirection = false;
    std::vector<std::string> given; // the loco options given, by name
    double seconds = 0;
};

// Every number the user gives: an empty word (an unset variable in a
// script), a word that is no number, or an infinite or NaN value is wrong
// use, not a zero.
extern const CLI::Validator kNumber;

// The commands one session line may hold, filling `req` when parsed.
void AddCommands(CLI::App& app, Request& req);

// Splits a shell line like a shell would for words and double quotes.
std::vector<std::string> Words(const std::string& line);

// What parsing one command gave.
enum class Parsed { Command, Help, WrongUse };

// Reads the commands of one session. The command tree is built once: a
// session of thousands of commands would otherwise spend more time building
// it than talking to the interface. Each line starts from a fresh request, so
// nothing one command gave carries over into the next.
class CommandParser {
  public:
    explicit CommandParser(bool jsonErrors);

    // Parses one session command: `req` filled, the help shown, or wrong use
    // reported (on standard error, and as a JSON error object with --json).
    Parsed Parse(const std::string& line, Request& req);

  private:
    CLI::App app_{"session command", "quorrin-cli"};
    Request parsed_; // what the options write into
    bool jsonErrors_;
};

} // namespace cli

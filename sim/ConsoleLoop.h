// The console side of quorrin-sim for the simulators that run from their own source: stop
// signals arrive through a signalfd, stdin is read line by line.
#pragma once

#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Blocks SIGINT, SIGTERM and SIGHUP for this thread and every thread started after it (call it
// before the simulator starts its thread) and returns a signalfd for them, -1 on failure.
int BlockStopSignals();

// Runs a simulator from the console and returns the program's exit code: blocks the stop
// signals, then `serve` makes the simulator, prints its device path and hands the signalfd to
// ConsoleLoop. 1, with the reason on stderr, when the signalfd or the simulator cannot be made.
int ServeConsole(const std::function<void(int sigFd)>& serve);

// Runs `execute` for every line on stdin until it returns false, stdin ends or a signal arrives
// on `sigFd`. Closes `sigFd`.
void ConsoleLoop(int sigFd, const std::function<bool(const std::string&)>& execute);

// Prints one line to stdout (safe from the simulator's thread).
void ConsoleSay(const std::string& line);

// A command line split at white space.
std::vector<std::string> ConsoleWords(const std::string& line);
// A number as typed at the console: decimal (a leading 0 does not make it octal), 0x... or
// 0b...; nothing for anything else, negative numbers and numbers above `max` included.
std::optional<long> ConsoleNumber(const std::string& word, long max = LONG_MAX);
// "on"/"1" and "off"/"0"; nothing for anything else.
std::optional<bool> ConsoleOnOff(const std::string& word);

} // namespace sim

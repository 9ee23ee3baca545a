// The console side of quorrin-sim for the simulators that run from their own source: stop
// signals arrive through a signalfd, stdin is read line by line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Blocks SIGINT, SIGTERM and SIGHUP for this thread and every thread started after it (call it
// before the simulator starts its thread) and returns a signalfd for them, -1 on failure.
int BlockStopSignals();

// Runs `execute` for every line on stdin until it returns false, stdin ends or a signal arrives
// on `sigFd`. Closes `sigFd`.
void ConsoleLoop(int sigFd, const std::function<bool(const std::string&)>& execute);

// Prints one line to stdout (safe from the simulator's thread).
void ConsoleSay(const std::string& line);

// A command line split at white space.
std::vector<std::string> ConsoleWords(const std::string& line);
// A number as typed at the console: decimal, 0x... or 0b...; nothing for anything else,
// negative numbers and numbers beyond a long included.
std::optional<long> ConsoleNumber(const std::string& word);
// "on"/"1" and "off"/"0"; nothing for anything else.
std::optional<bool> ConsoleOnOff(const std::string& word);

} // namespace sim

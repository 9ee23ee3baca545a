// The options of quorrin-cli before its command: the system, the port or
// simulator, output, and the host settings the component leaves to us.
#pragma once

#include <CLI/CLI.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace cli {

struct Options {
    std::string system = "selectrix";
    std::string port;
    long baud = 0;
    bool simulator = false;
    bool json = false;
    std::string lenzLog;
    bool trace = false;    // every message on the line on standard error
    std::string traceFile; // every message appended to this file as JSON lines
    // Host settings.
    uint16_t lenzReplyMs = 500;
    int lenzSkip = 1;
    int lenzQuietMs = 0;
    bool ibFixed = false;
    long ibBaud = 0;
    bool ibBinary = false;
    uint16_t marklinLocPause = 60;
    uint16_t marklinStopPause = 90;
    uint16_t marklinBytePause = 10;
    bool marklinFast = false;
    bool kaartFast = false;
    std::array<bool, 4> kaartOptions{true, true, true, false}; // options 0, 1, 2 and 4
    uint16_t dinamoAnswerMs = 200;
};

void AddOptions(CLI::App& app, Options& opt);

} // namespace cli

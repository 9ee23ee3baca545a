// The options of quorrin-cli before its command: the system, the port or
// simulator, output, and the host settings the component leaves to us.
#pragma once

#include "frontend/HostSettings.h"

#include <CLI/CLI.hpp>

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
    frontend::HostSettings host;
};

void AddOptions(CLI::App& app, Options& opt);

} // namespace cli

// The in-process end of a simulator's line: the peer's side of a serial::LocalLine, which a port
// of this program opens by its name ("sim:selectrix") through serial/local/LocalComDevice. No
// descriptors, no pty: it runs wherever std::thread does.
#pragma once

#include "sim/Transport.h"

#include <memory>
#include <string>

namespace sim {

// The in-process line of a simulator class: "SelectrixSim" gives "sim:selectrix".
std::string InProcessLineName(const std::string& who);

// Creates the line under `name` (with "-2" and on when a line of that name lives); the line
// hangs up when the end goes, and a port still on it then fails with EIO.
std::unique_ptr<LineEnd> OpenInProcessLine(const std::string& name);

} // namespace sim

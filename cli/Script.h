// The sessions of more than one command: `do` (the commands given as
// arguments) and `shell` (one command per line of standard input).
#pragma once

#include "cli/Session.h"

#include <string>
#include <vector>

namespace cli {

// Runs the `do` commands, or the shell's lines from standard input; a stop
// (signal, closed output) ends the session before its next command. A line
// ending in CR (a script saved with CRLF) is read without it.
int RunSession(Session& session, const std::vector<std::string>& lines, bool fromStdin, bool json);

} // namespace cli

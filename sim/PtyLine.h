// The pseudo-terminal end of a simulator's line: the master side of a pty, waited on with poll()
// beside a wake-up pipe.
//
// The pty is raw from the start (slave side too), so nothing the code under test does before
// configuring the port may echo or translate a byte. The line keeps a slave descriptor of its own
// open, so the code under test may close and re-open the slave as often as it likes without the
// master hanging up. A pty hands written bytes straight to the master, so nothing is ever
// "unsent": a TCOFLUSH on the slave throws away whatever the simulator has not read yet,
// including a request written just before.
//
// On Linux the termios calls on a pty master report the slave's settings, which is how the
// simulator sees the rate the PC set.
#pragma once

#include "sim/Transport.h"

#include <memory>
#include <string>

namespace sim {

// Opens a pty; throws std::runtime_error ("who: call: reason") when it cannot, with nothing left
// open.
std::unique_ptr<LineEnd> OpenPtyLine(const std::string& who);

// Reads the settings of the pty behind `fd` (the master side reports the slave's); false when
// the call fails.
bool ReadLineSettings(int fd, LineSettings& line);

} // namespace sim

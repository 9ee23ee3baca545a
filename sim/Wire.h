// Which line end a simulator serves (see sim/Transport.h).
#pragma once

namespace sim {

enum class Wire {
    Pty,       // a pseudo-terminal: DevicePath() is its slave (not on every platform)
    InProcess, // an in-process line named "sim:" and the system ("sim:selectrix")
};

} // namespace sim

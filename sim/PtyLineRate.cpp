// The line settings a pseudo-terminal's master side shows of its slave. The serial layer sets
// its rate with termios2 (BOTHER and a plain number), which the classic termios calls cannot
// read back, so this asks for termios2 as well. Kept apart from the sources that include
// <termios.h>: the two headers cannot meet in one file.
#include "sim/IntelliboxSim.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

IBLine ReadPtyLine(int fd) {
    IBLine line;
    struct termios2 t {};
    if (fd < 0 || ioctl(fd, TCGETS2, &t) != 0) return line;
    line.baud = t.c_ospeed;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    return line;
}

} // namespace sim

// The line settings of a pty read with termios2, which carries the bit rate itself: a rate set
// as BOTHER plus a number (as the serial layer sets every rate) reads back as BOTHER through the
// classic termios calls. Its own file, because the kernel's termios2 clashes with <termios.h>.
#include "sim/PtyLine.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace sim {

bool ReadLineSettings(int fd, LineSettings& line) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    line.baud = t.c_ospeed;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    return true;
}

} // namespace sim

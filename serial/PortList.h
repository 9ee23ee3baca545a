// The installed serial ports.
#pragma once

#include "serial/CPort.h"
#include "serial/ComSettings.h"

#include <string>
#include <vector>

namespace serial {

#ifdef _WIN32
// Replaces `list` with the ports of the registry's device map
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), sorted without regard to letter case
// as a text sort (COM10 before COM2). A key that cannot be opened or read
// raises EComPort 23 with the registry's result; `list` is then left as it was.
void ListSerialPorts(std::vector<std::string>& list);
// The same from any key: `root` is an open HKEY (HKEY_CURRENT_USER, ...).
void ListSerialPortsFromKey(std::vector<std::string>& list, void* root, const std::string& path);
#else
// Replaces `list` with the serial ports installed on this machine, each named
// as TCustomComPort::Port accepts it (relative to the device directory), sorted
// without regard to letter case as a text sort (ttyUSB10 before ttyUSB2).
//
// Listed: every kernel tty with a device behind it (a ttyS only when the
// driver found a UART there), and every symbolic link directly in the device
// directory that leads to one of those or to a pseudo-terminal. Both roots
// can be given so that tests can build their own trees. A directory that
// cannot be read raises EComPort 23 with errno as the OS error; `list` is then
// left as it was.
void ListSerialPorts(std::vector<std::string>& list, const std::string& devRoot = "/dev",
                     const std::string& sysRoot = "/sys");
#endif

} // namespace serial

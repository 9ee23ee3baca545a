// What the port object takes from the platform: the device a port name
// stands for, the name that device opens, and the error numbers the port
// raises itself (errno on Linux, Win32 codes on Windows).
#pragma once

#include "serial/ComDevice.h"

#include <memory>
#include <string>

namespace serial {

// The device for `port` (on Linux a network device for rfc2217:// names,
// else termios; on Windows the COM port device).
std::unique_ptr<ComDevice> DefaultDeviceFor(const std::string& port);
// The name the device's Open is given for `port`.
std::string DeviceOpenName(const std::string& port);
// The text for an open that failed with `err` because `port` names no
// serial line; empty when the error says it all.
std::string NotSerialText(const std::string& port, int err);

// Errors that mean the device itself went away (adapter pulled, line hung up).
bool DeviceGoneError(int err);

namespace oserr {
// The port is closed (no device to call).
extern const int kClosed;
// No memory for the bytes asked for.
extern const int kNoMemory;
// A value the platform cannot take (a name with a NUL, an unknown method).
extern const int kInvalid;
// No device could be made for the name.
extern const int kNoDevice;
// No port of that name.
extern const int kNotFound;
// Another user has the port open.
extern const int kBusy;
// The line went away under an open port.
extern const int kGone;
} // namespace oserr

} // namespace serial

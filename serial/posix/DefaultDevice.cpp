#include "serial/DefaultDevice.h"

#include "serial/local/LocalComDevice.h"
#include "serial/net/NetComDevice.h"
#include "serial/posix/PosixComDevice.h"

#include <cerrno>

namespace serial {

std::unique_ptr<ComDevice> DefaultDeviceFor(const std::string& port) {
    if (IsNetworkPortName(port)) return std::make_unique<NetComDevice>();
    if (IsLocalPortName(port)) return std::make_unique<LocalComDevice>();
    return std::make_unique<PosixComDevice>();
}

std::string DeviceOpenName(const std::string& port) {
    // Network and in-process names are the device's own, not paths.
    return IsNetworkPortName(port) || IsLocalPortName(port) ? port : DevicePathForPort(port);
}

std::string NotSerialText(const std::string& port, int err) {
    if (err != ENOTTY || IsNetworkPortName(port) || IsLocalPortName(port)) return {};
    return DevicePathForPort(port) + " is not a serial port";
}

bool DeviceGoneError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

namespace oserr {
const int kClosed = EBADF;
const int kNoMemory = ENOMEM;
const int kInvalid = EINVAL;
const int kNoDevice = ENODEV;
const int kNotFound = ENOENT;
const int kBusy = EBUSY;
const int kGone = EIO;
} // namespace oserr

} // namespace serial

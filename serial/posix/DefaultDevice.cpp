#include "serial/DefaultDevice.h"

#include "serial/net/NetComDevice.h"
#include "serial/posix/PosixComDevice.h"

#include <cerrno>

namespace serial {

std::unique_ptr<ComDevice> DefaultDeviceFor(const std::string& port) {
    if (IsNetworkPortName(port)) return std::make_unique<NetComDevice>();
    return std::make_unique<PosixComDevice>();
}

std::string DeviceOpenName(const std::string& port) {
    return IsNetworkPortName(port) ? port : DevicePathForPort(port);
}

std::string NotSerialText(const std::string& port, int err) {
    if (err != ENOTTY || IsNetworkPortName(port)) return {};
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
} // namespace oserr

} // namespace serial

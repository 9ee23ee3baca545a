#include "serial/DefaultDevice.h"

#include "serial/local/LocalComDevice.h"
#include "serial/win32/Win32ComDevice.h"

#include <windows.h>

namespace serial {

std::unique_ptr<ComDevice> DefaultDeviceFor(const std::string& port) {
    if (IsLocalPortName(port)) return std::make_unique<LocalComDevice>();
    return std::make_unique<Win32ComDevice>();
}

std::string DeviceOpenName(const std::string& port) {
    return port;
}

std::string NotSerialText(const std::string&, int) {
    return {}; // the device names the port itself
}

// A pulled USB adapter fails its calls with one of these; a line that was
// never there fails the open instead.
bool DeviceGoneError(int err) {
    switch (err) {
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
        return true;
    default:
        return false;
    }
}

namespace oserr {
const int kClosed = ERROR_INVALID_HANDLE;
const int kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
const int kInvalid = ERROR_INVALID_PARAMETER;
const int kNoDevice = ERROR_DEV_NOT_EXIST;
const int kNotFound = ERROR_FILE_NOT_FOUND;
const int kBusy = ERROR_ACCESS_DENIED;
const int kGone = ERROR_GEN_FAILURE;
} // namespace oserr

} // namespace serial

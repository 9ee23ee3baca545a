// The installed ports from the registry's device map: one value per port,
// its data the name (COM3), its value name the driver's device (unused).
#include "serial/PortList.h"

#include <windows.h>

#include <algorithm>
#include <cctype>

namespace serial {
namespace {

struct KeyCloser {
    HKEY key;
    ~KeyCloser() { RegCloseKey(key); }
};

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) <
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

void ListSerialPortsFromKey(std::vector<std::string>& list, void* root, const std::string& path) {
    HKEY key = nullptr;
    if (LONG r = RegOpenKeyExA(static_cast<HKEY>(root), path.c_str(), 0, KEY_READ, &key);
        r != ERROR_SUCCESS)
        throw EComPort(23, static_cast<int>(r));
    KeyCloser closer{key};
    std::vector<std::string> found;
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        const LONG r = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (r == ERROR_NO_MORE_ITEMS) break;
        if (r != ERROR_SUCCESS) throw EComPort(23, static_cast<int>(r));
        std::string port(reinterpret_cast<const char*>(data), dataSize);
        // The data ends in its terminating zero (or more than one).
        port.erase(std::find(port.begin(), port.end(), '\0'), port.end());
        found.push_back(std::move(port));
    }
    std::stable_sort(found.begin(), found.end(), LessNoCase);
    list = std::move(found);
}

void ListSerialPorts(std::vector<std::string>& list) {
    ListSerialPortsFromKey(list, HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
}

} // namespace serial

#include "serial/PortList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace serial {
namespace {

// ------------------------------------------------------------ the device directory

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

[[noreturn]] void RaiseSourceError(int err) {
    throw EComPort(23, err);
}

// Every entry of `path` except "." and "..". The listing is the source of the
// port names, so failing to read it is an error, not an empty result.
std::vector<std::string> EntryNames(const std::string& path) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
    if (!dir) RaiseSourceError(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) RaiseSourceError(errno);
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return names;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// serial_core ports publish their UART type; 0 (unknown) means the driver
// probed the address and found no chip, which is the case for most of the
// ttyS0..ttyS31 a PC kernel registers. Ports without the attribute (USB,
// ACM, Bluetooth) are real whenever they exist.
bool UartMissing(const std::string& ttyDir) {
    const int fd = open((ttyDir + "/type").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[32] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    char* end = nullptr;
    const long type = std::strtol(buf, &end, 10);
    return end != buf && type == 0;
}

// sysfs spells a node in a subdirectory of /dev with '!' for '/'.
std::string DevNameOf(std::string sysName) {
    std::replace(sysName.begin(), sysName.end(), '!', '/');
    return sysName;
}

std::string Canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

// Unix98 pseudo-terminal slaves (/dev/pts/N) use majors 136 to 143.
bool IsPseudoTerminal(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

} // namespace

void ListSerialPorts(std::vector<std::string>& list, const std::string& devRoot,
                     const std::string& sysRoot) {
    std::vector<std::string> found;
    std::set<std::string> deviceNodes; // canonical paths of the devices found

    const std::string ttyClass = sysRoot + "/class/tty";
    for (const std::string& sysName : EntryNames(ttyClass)) {
        const std::string ttyDir = ttyClass + "/" + sysName;
        // Virtual terminals, the console and ptys have no device behind them.
        if (!Exists(ttyDir + "/device") || UartMissing(ttyDir)) continue;
        const std::string name = DevNameOf(sysName);
        const std::string node = Canonical(devRoot + "/" + name);
        if (node.empty()) continue; // no node to open under this name
        found.push_back(name);
        deviceNodes.insert(node);
    }

    // Links made by udev rules give interfaces stable names; links to a
    // pseudo-terminal are how simulators and line sharers appear.
    for (const std::string& name : EntryNames(devRoot)) {
        const std::string path = devRoot + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        char target[4096];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        // stdin, stdout, stderr and fd lead through the reading process's own
        // descriptors: whatever terminal the program runs in, not a port.
        if (std::string(target, static_cast<size_t>(n)).rfind("/proc/", 0) == 0) continue;
        const std::string node = Canonical(path);
        if (node.empty()) continue; // dangling
        if (deviceNodes.count(node) != 0 || IsPseudoTerminal(node)) found.push_back(name);
    }

    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        if (LessTextNoCase(a, b)) return true;
        if (LessTextNoCase(b, a)) return false;
        return a < b; // the same text in other letters: still one fixed order
    });
    found.erase(std::unique(found.begin(), found.end()), found.end());
    list = std::move(found);
}

} // namespace serial

#include "tester/StoredChoice.h"

#include "frontend/Systems.h"
#include "serial/IniFile.h"
#include "serial/SettingsStore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tester {
namespace {

const char* const kSection = "Tester";
// The rates the window's baud list offers.
constexpr long kRates[] = {19200, 9600, 4800, 2400};

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Creates every missing folder of `dir`, private to the user.
void MakeFolders(const std::string& dir) {
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        const std::string part = dir.substr(0, at);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            throw serial::ESettingsStore(
                "cannot create the folder " + part + ": " + std::strerror(errno), errno);
        if (at == std::string::npos) return;
    }
}

} // namespace

std::string ChoiceFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/quorrin/quorrin.ini";
    const char* home = std::getenv("HOME");
    return std::string(home && home[0] ? home : ".") + "/.config/quorrin/quorrin.ini";
}

StoredChoice LoadChoice(const std::string& file, std::string& problem) {
    problem.clear();
    StoredChoice choice;
    if (!Exists(file)) return choice;
    try {
        serial::TIniFile ini(file);
        StoredChoice read;
        read.system = ini.ReadString(kSection, "System", choice.system);
        read.port = ini.ReadString(kSection, "Port", "");
        read.baud = ini.ReadInteger(kSection, "BaudRate", 0);
        // A file the store would refuse to rewrite (lines that are neither a
        // section, a value nor a comment) is damaged too: found now, not at
        // the save when the program ends.
        ini.WriteString(kSection, "System", read.system);
        if (!frontend::FindSystem(read.system)) {
            problem = file + ": unknown system " + read.system;
            return choice;
        }
        bool rateKnown = read.baud == 0;
        for (long r : kRates)
            rateKnown = rateKnown || r == read.baud;
        if (!rateKnown) {
            problem = file + ": not a rate of the baud list: " + std::to_string(read.baud);
            return choice;
        }
        return read;
    } catch (const std::exception& e) {
        problem = e.what();
        return choice;
    }
}

void SaveChoice(const std::string& file, const StoredChoice& choice, bool replace) {
    const size_t slash = file.rfind('/');
    if (slash != std::string::npos && slash > 0) MakeFolders(file.substr(0, slash));
    if (replace && Exists(file) && std::rename(file.c_str(), (file + ".damaged").c_str()) != 0)
        throw serial::ESettingsStore("cannot move " + file + " aside: " + std::strerror(errno),
                                     errno);
    serial::TIniFile ini(file);
    ini.WriteString(kSection, "System", choice.system);
    ini.WriteString(kSection, "Port", choice.port);
    ini.WriteInteger(kSection, "BaudRate", static_cast<int32_t>(choice.baud));
    ini.UpdateFile();
}

} // namespace tester

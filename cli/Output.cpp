#include "cli/Output.h"

#include "cli/Signals.h"

#include <cstdio>
#include <iostream>

namespace cli {

std::string Dump(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

void Print(const std::string& line) {
    std::cout << line << '\n' << std::flush;
    if (!std::cout) NoteOutputGone();
}

void PrintJsonError(const std::string& command, int status, const std::string& text) {
    json error{{"ok", false}, {"status", status}, {"error", text}};
    if (!command.empty()) error["command"] = command;
    Print(Dump(error));
}

std::string RangeText(int min, int max) {
    return std::to_string(min) + ".." + std::to_string(max);
}

std::string Hex(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
    return buf;
}

std::string VersionText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string PowerTextOf(bool on) {
    return on ? "on" : "off";
}

} // namespace cli

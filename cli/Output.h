// What quorrin-cli writes: result lines on standard output (text or one
// JSON object each) and the small texts they are made of.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace cli {

using nlohmann::json;

// Every text of the system goes out as valid JSON: bytes that are not UTF-8
// (a port name, a device link) become U+FFFD instead of aborting the dump.
std::string Dump(const json& object);
// One line on standard output; a write that fails ends the run.
void Print(const std::string& line);
// The JSON error object of wrong use or a failure (`command` may be empty).
void PrintJsonError(const std::string& command, int status, const std::string& text);

std::string RangeText(int min, int max);
std::string Hex(int v);
std::string VersionText(double v);
std::string PowerTextOf(bool on);

} // namespace cli

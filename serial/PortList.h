// The installed serial ports, and the texts of the port settings that lists
// and stored settings show.
#pragma once

#include "serial/CPort.h"

#include <string>
#include <vector>

namespace serial {

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

// The text of a setting's ordinal as lists show it ("9600", "1.5", "Odd", ...);
// empty for an ordinal outside the enumeration.
std::string BaudRateName(TBaudRate v);
std::string DataBitsName(TDataBits v);
std::string StopBitsName(TStopBits v);
std::string ParityName(TParityBits v);
std::string FlowControlName(TFlowControl v);

// The ordinal whose text equals `text`, ignoring the case of ASCII letters.
// A text that matches none gives br9600, dbEight, sbOneStopBit, prNone and
// fcCustom respectively.
TBaudRate ParseBaudRate(const std::string& text);
TDataBits ParseDataBits(const std::string& text);
TStopBits ParseStopBits(const std::string& text);
TParityBits ParseParity(const std::string& text);
TFlowControl ParseFlowControl(const std::string& text);

// The item texts of each setting, in ordinal order.
const std::vector<std::string>& BaudRateNames();
const std::vector<std::string>& DataBitsNames();
const std::vector<std::string>& StopBitsNames();
const std::vector<std::string>& ParityNames();
const std::vector<std::string>& FlowControlNames();

// Equality and ordering of texts that ignore the case of ASCII letters only
// (port names and setting texts are ASCII; no locale may change that).
bool SameTextNoCase(const std::string& a, const std::string& b);
bool LessTextNoCase(const std::string& a, const std::string& b);

} // namespace serial

// The texts of the port settings as lists and stored settings show them, and
// the driver value of each baud rate.
#include "serial/ComSettings.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace serial {
namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

template <typename E> std::string NameOf(const std::vector<std::string>& names, E v) {
    const auto i = static_cast<size_t>(v);
    return i < names.size() ? names[i] : std::string();
}

template <typename E>
E Parse(const std::vector<std::string>& names, const std::string& text, E fallback) {
    for (size_t i = 0; i < names.size(); ++i)
        if (SameTextNoCase(names[i], text)) return static_cast<E>(i);
    return fallback;
}

} // namespace

namespace {
constexpr int32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                              14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
} // namespace

int32_t BaudRateValue(TBaudRate rate) {
    return rate < std::size(kRates) ? kRates[rate] : 0;
}

TBaudRate BaudRateOfValue(int64_t value) {
    for (size_t i = 1; i < std::size(kRates); ++i)
        if (kRates[i] == value) return static_cast<TBaudRate>(i);
    return brCustom;
}

bool SameTextNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool LessTextNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(LowerAscii(x)) <
               static_cast<unsigned char>(LowerAscii(y));
    });
}

// ------------------------------------------------------------ converters

const std::vector<std::string>& BaudRateNames() {
    static const std::vector<std::string> names{
        "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
        "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
    return names;
}
const std::vector<std::string>& DataBitsNames() {
    static const std::vector<std::string> names{"5", "6", "7", "8"};
    return names;
}
const std::vector<std::string>& StopBitsNames() {
    static const std::vector<std::string> names{"1", "1.5", "2"};
    return names;
}
const std::vector<std::string>& ParityNames() {
    static const std::vector<std::string> names{"None", "Odd", "Even", "Mark", "Space"};
    return names;
}
const std::vector<std::string>& FlowControlNames() {
    static const std::vector<std::string> names{"Hardware", "Software", "None", "Custom"};
    return names;
}

std::string BaudRateName(TBaudRate v) {
    return NameOf(BaudRateNames(), v);
}
std::string DataBitsName(TDataBits v) {
    return NameOf(DataBitsNames(), v);
}
std::string StopBitsName(TStopBits v) {
    return NameOf(StopBitsNames(), v);
}
std::string ParityName(TParityBits v) {
    return NameOf(ParityNames(), v);
}
std::string FlowControlName(TFlowControl v) {
    return NameOf(FlowControlNames(), v);
}

TBaudRate ParseBaudRate(const std::string& text) {
    return Parse(BaudRateNames(), text, br9600);
}
TDataBits ParseDataBits(const std::string& text) {
    return Parse(DataBitsNames(), text, dbEight);
}
TStopBits ParseStopBits(const std::string& text) {
    return Parse(StopBitsNames(), text, sbOneStopBit);
}
TParityBits ParseParity(const std::string& text) {
    return Parse(ParityNames(), text, prNone);
}
TFlowControl ParseFlowControl(const std::string& text) {
    return Parse(FlowControlNames(), text, fcCustom);
}

// ------------------------------------------------------------ stored settings

namespace {
const std::vector<std::string>& DTRControlNames() {
    static const std::vector<std::string> names{"Disable", "Enable", "Handshake"};
    return names;
}
const std::vector<std::string>& RTSControlNames() {
    static const std::vector<std::string> names{"Disable", "Enable", "Handshake", "Toggle"};
    return names;
}
} // namespace

std::string DTRControlName(TDTRFlowControl v) {
    return NameOf(DTRControlNames(), v);
}
TDTRFlowControl ParseDTRControl(const std::string& text) {
    return Parse(DTRControlNames(), text, dtrDisable);
}
std::string RTSControlName(TRTSFlowControl v) {
    return NameOf(RTSControlNames(), v);
}
TRTSFlowControl ParseRTSControl(const std::string& text) {
    return Parse(RTSControlNames(), text, rtsDisable);
}

std::string YesNoText(bool v) {
    return v ? "Yes" : "No";
}
bool ParseYesNo(const std::string& text) {
    return SameTextNoCase(text, "YES");
}

std::string CharText(uint8_t v) {
    if (v >= 33 && v <= 127) return std::string(1, static_cast<char>(v));
    std::string text(1, '#'); // not "#" + temporary: GCC 12 -O3 warns (-Wrestrict)
    text += std::to_string(v);
    return text;
}

uint8_t ParseCharText(const std::string& text) {
    if (text.empty()) return 0;
    if (text[0] != '#' || text.size() == 1) return static_cast<uint8_t>(text[0]);
    int32_t value = 0;
    if (!ParseDecimalInt32(text.substr(1), value)) return 0;
    return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFF);
}

bool ParseDecimalInt32(const std::string& text, int32_t& out) {
    // from_chars takes no "+"; a lone sign or "+-5" must still fail.
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first == last || *first == '-') return false;
    }
    int32_t value = 0;
    auto [end, ec] = std::from_chars(first, last, value, 10);
    if (ec != std::errc() || end != last || first == last) return false;
    out = value;
    return true;
}

} // namespace serial

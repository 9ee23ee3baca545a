// Small text helpers for the decoders' meanings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trace::text {

// "0x1F".
std::string Hex(uint8_t b);
// "0x01 0x02".
std::string HexBytes(std::string_view bytes);
// "01 02": the bytes as a trace line shows them.
std::string BareHex(std::string_view bytes);
// The low `count` bits of `value`, highest first: Bits(5, 8) = "00000101".
std::string Bits(unsigned value, int count);
// The low `count` bits of `value`, lowest first (input 1 first): LowFirst(1, 4) = "1000".
std::string LowFirst(unsigned value, int count);
// Text as a person reads it: printable ASCII as is, CR "\r", LF "\n", other bytes "\xNN";
// longer than `limit` characters is cut and ends in "...".
std::string Quoted(std::string_view bytes, size_t limit = 60);
inline const char* OnOff(bool on) {
    return on ? "on" : "off";
}
inline uint8_t At(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

} // namespace trace::text

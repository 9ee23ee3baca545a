#include "trace/Text.h"

namespace trace::text {

std::string Hex(uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string{'0', 'x', digits[b >> 4], digits[b & 0x0F]};
}

std::string HexBytes(std::string_view bytes) {
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += Hex(At(bytes, i));
    }
    return s;
}

std::string BareHex(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        if (!s.empty()) s += ' ';
        s += digits[static_cast<uint8_t>(c) >> 4];
        s += digits[static_cast<uint8_t>(c) & 0x0F];
    }
    return s;
}

std::string Bits(unsigned value, int count) {
    std::string s;
    for (int i = count - 1; i >= 0; --i)
        s += (value >> i) & 1 ? '1' : '0';
    return s;
}

std::string LowFirst(unsigned value, int count) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += (value >> i) & 1 ? '1' : '0';
    return s;
}

std::string Quoted(std::string_view bytes, size_t limit) {
    std::string s = "\"";
    size_t shown = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (shown >= limit) {
            s += "...";
            break;
        }
        uint8_t b = At(bytes, i);
        if (b == '\r') {
            s += "\\r";
        } else if (b == '\n') {
            s += "\\n";
        } else if (b == '"' || b == '\\') {
            s += '\\';
            s += static_cast<char>(b);
        } else if (b >= 0x20 && b < 0x7F) {
            s += static_cast<char>(b);
        } else {
            s += "\\x" + Hex(b).substr(2);
        }
        ++shown;
    }
    return s + "\"";
}

} // namespace trace::text

#include "command_station/lenz/LenzMessages.h"

#include <algorithm>
#include <charconv>

namespace command_station::lenz {

uint8_t Xor(const std::string& bytes) {
    uint8_t x = 0;
    for (unsigned char b : bytes)
        x ^= b;
    return x;
}

bool LenzXorOke(const std::string& bericht) {
    // The XOR over every byte, the check byte included, is 0 when it fits.
    return !bericht.empty() && Xor(bericht) == 0;
}

bool IsFeedbackHeader(uint8_t header) {
    return header >= 0x42 && header <= 0x50 && header % 2 == 0;
}

bool IsMessageStart(uint8_t header, bool versie3) {
    if (IsFeedbackHeader(header)) return header != 0x50 || versie3;
    switch (header) {
    case 0x01:
    case 0x61:
    case 0x62:
    case 0x63:
    case 0x81:
    case 0x83:
    case 0x84:
    case 0xA3:
    case 0xA4:
        return true;
    case 0xE3:
    case 0xE4:
    case 0xE5:
        return versie3;
    default:
        return false;
    }
}

std::string LenzAdresBytes(uint16_t adres) {
    if (adres <= 99) return std::string{'\0', static_cast<char>(adres)};
    return std::string{static_cast<char>(0xC0 + adres / 256), static_cast<char>(adres % 256)};
}

uint16_t LenzAdresWaarde(const std::string& tweeBytes) {
    if (tweeBytes.size() != 2) return 0;
    unsigned h = static_cast<unsigned char>(tweeBytes[0]);
    unsigned l = static_cast<unsigned char>(tweeBytes[1]);
    if (h == 0) return static_cast<uint16_t>(l);
    // A first byte below 0xC0 is no address form the component sends; it
    // wraps like the unsigned arithmetic it stands for.
    return static_cast<uint16_t>((h - 192) * 256 + l);
}

// Both decodings share the 27/28-step code: bit 4 is the half step, the low
// nibble counts from 2 (0 is stop, 1 emergency stop). Those two, and the
// same with the half-step bit set, stand for a standing locomotive: they
// report step 0 rather than the negative step the plain arithmetic gives.
namespace {
uint8_t Stap28(uint8_t code) {
    unsigned laag = code & 0x0F;
    if (laag < 2) return 0;
    if (code & 0x10) return static_cast<uint8_t>(2 * laag - 2);
    return static_cast<uint8_t>(2 * laag - 3);
}
} // namespace

uint8_t OldStep(uint8_t code, uint8_t stappen) {
    uint8_t q = code & 0x1F;
    if (q == 0) return 0;
    if (stappen == 0) return static_cast<uint8_t>(q - 1);
    return Stap28(q);
}

uint8_t StepV3(uint8_t code, uint8_t modus) {
    uint8_t q = code & 0x7F;
    if (q == 0) return 0;
    switch (modus & 7) {
    case 0:
    case 4:
        return static_cast<uint8_t>(q - 1);
    case 1:
    case 2:
        // Codes of 16 and up count from their low nibble whatever the
        // higher bits hold; 1 and 16 (and 32, 48, ...) stand still.
        if (q < 16) return q == 1 ? 0 : static_cast<uint8_t>(2 * q - 3);
        if ((q & 0x0F) == 0) return 0;
        return static_cast<uint8_t>(2 * (q & 0x0F) - 2);
    default:
        return q;
    }
}

uint8_t SpeedCode(uint8_t modus, uint8_t snelheid) {
    unsigned s = snelheid;
    if (s == 0) return 0;
    switch (modus) {
    case 1:
    case 5:
        // 14 steps: codes 2..15; a higher speed would run into the light
        // and direction bits, so it sends the top step.
        return static_cast<uint8_t>(std::min(s, 14u) + 1);
    case 4:
    case 8:
        // 128 steps: codes 2..127; the direction bit sits above them.
        return static_cast<uint8_t>(std::min(s, 126u) + 1);
    case 2:
    case 6:
        if (s >= 28) return 0;
        break;
    case 3:
    case 7:
        if (s > 28) return 0;
        break;
    default:
        return 0;
    }
    if (s % 2 == 0) return static_cast<uint8_t>(s / 2 + 17);
    return static_cast<uint8_t>((s - 1) / 2 + 2);
}

double VersionValue(uint8_t versieByte) {
    unsigned hoog = versieByte >> 4;
    unsigned laag = versieByte & 0x0F;
    // The fraction is written with the low nibble's decimal digits.
    return hoog + laag / (laag >= 10 ? 100.0 : 10.0);
}

std::string VersionText(uint8_t versieByte, char scheidingsteken) {
    // Shortest text that reads back as the number, whatever the process
    // locale: to_chars never uses a locale's separator.
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, VersionValue(versieByte));
    std::string t(buf, res.ptr);
    for (char& c : t)
        if (c == '.') c = scheidingsteken;
    return t;
}

// ---------------------------------------------------------------- log lines

std::string ReceivedText(const std::string& brok) {
    std::string t = "- ontvangen: ";
    for (unsigned char b : brok) {
        t += ' ';
        t += std::to_string(b);
    }
    return t;
}

std::string FeedbackText(unsigned adres, uint8_t nibble, uint8_t ingangen) {
    std::string t = "- bezetmeldadres: " + std::to_string(adres);
    unsigned eerste = nibble == 2 ? 5 : 1;
    for (unsigned i = 0; i < 4; ++i) {
        t += ' ';
        t += std::to_string(eerste + i);
        t += (ingangen >> i) & 1 ? 'x' : '-';
    }
    return t;
}

std::string TurnoutText(unsigned adres, unsigned eersteWissel, uint8_t standen) {
    std::string t = "- wisseladres: " + std::to_string(adres);
    t += ' ';
    t += std::to_string(eersteWissel);
    t += standen & 0x01 ? 'R' : 'A';
    t += ' ';
    t += std::to_string(eersteWissel + 1);
    t += standen & 0x04 ? 'R' : 'A';
    return t;
}

std::string FeedbackTypeText(unsigned adres, uint8_t vlag) {
    std::string t = "!! - Feedbacktype: ";
    t += vlag & 0x40 ? '1' : '0';
    t += vlag & 0x20 ? '1' : '0';
    t += " op adres " + std::to_string(adres) + " niet gedefinieerd!";
    return t;
}

std::string LocoStateText(const std::string& prefix, unsigned adres, bool vooruit, bool licht,
                         unsigned stap) {
    std::string t = prefix + std::to_string(adres);
    t += vooruit ? " / vooruit" : " / achteruit";
    t += licht ? " / licht aan" : " / licht uit";
    t += " / snelheid: " + std::to_string(stap);
    return t;
}

std::string UndefinedHeaderText(uint8_t header) {
    return "- headertype " + std::to_string(header) + " niet gedefinieerd!";
}

std::string UndefinedBytesText(const std::string& bericht) {
    std::string t = "  ontvangen:";
    for (unsigned char b : bericht) {
        t += ' ';
        t += std::to_string(b);
    }
    return t;
}

std::string NumbersText(const std::string& opdracht, uint8_t xorByte) {
    std::string t;
    for (unsigned char b : opdracht) {
        t += std::to_string(b);
        t += ' ';
    }
    t += std::to_string(xorByte);
    return t;
}

std::string SentLocoText(uint16_t adres, uint8_t snelheid, bool vooruit, bool licht) {
    std::string t = "- uit (stuurloc): " + std::to_string(adres) +
                    " / snelheid: " + std::to_string(snelheid) + " / ";
    t += vooruit ? "vooruit / " : "achteruit / ";
    t += licht ? "licht aan" : "licht uit";
    return t;
}

} // namespace command_station::lenz

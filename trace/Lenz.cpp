// Lenz: every message in both directions is a header byte whose low nibble counts the data
// bytes, the data, and an XOR byte over all bytes before it. A message whose XOR byte fails is
// not acted on; the receiver then hunts for the next start: a header of the direction's known
// set whose message passes its XOR.
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

#include <algorithm>
#include <array>
#include <optional>

namespace trace {
namespace {

using namespace text;

size_t MessageLength(uint8_t header) {
    return (header & 0x0F) + 2u;
}

bool XorOk(std::string_view message) {
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < message.size(); ++i)
        x ^= At(message, i);
    return x == At(message, message.size() - 1);
}

uint8_t XorOf(std::string_view bytes) {
    uint8_t x = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        x ^= At(bytes, i);
    return x;
}

// The two-byte locomotive address form: 0x00, address up to 99; 0xC0 + high, low above.
std::string LocoAddress(uint8_t high, uint8_t low) {
    if (high == 0) return std::to_string(low);
    if (high >= 0xC0) return std::to_string((high - 0xC0) * 256 + low);
    return "(address bytes " + Hex(high) + " " + Hex(low) + ")";
}

// Speed codes of 14 and 128 steps: code n is step n - 1, codes 0 and 1 stop.
std::string LinearStep(unsigned code) {
    return "speed step " + std::to_string(code == 0 ? 0 : code - 1);
}

// Speed codes of 27 and 28 steps: 2..15 the odd steps, 18..31 the even ones; 0, 16 and 17
// stop, 1 is the emergency stop.
std::string InterleavedStep(unsigned code) {
    if (code == 1) return "emergency stop";
    if (code == 0 || code == 16 || code == 17) return "speed step 0";
    if (code < 16) return "speed step " + std::to_string(2 * code - 3);
    return "speed step " + std::to_string(2 * (code & 0x0F) - 2);
}

std::string Functions(uint8_t bits) {
    return "F1-F4 " + LowFirst(bits & 0x0F, 4);
}

constexpr std::array<uint8_t, 16> kFromHeaders{0x01, 0x42, 0x44, 0x46, 0x48, 0x4A, 0x4C, 0x4E,
                                               0x61, 0x62, 0x63, 0x81, 0x83, 0x84, 0xA3, 0xA4};
constexpr std::array<uint8_t, 4> kFromHeadersV3{0x50, 0xE3, 0xE4, 0xE5};
constexpr std::array<uint8_t, 10> kToHeaders{0x21, 0x42, 0x52, 0x80, 0xA1,
                                             0xA2, 0xB3, 0xB4, 0xE3, 0xE4};

template <size_t N> bool In(const std::array<uint8_t, N>& set, uint8_t b) {
    return std::find(set.begin(), set.end(), b) != set.end();
}

class LenzDecoder : public SplitDecoder {
  public:
    LenzDecoder()
        : SplitDecoder(
              "lenz",
              {// to the interface
               "lenz.power-on", "lenz.power-off", "lenz.version-request", "lenz.feedback-request",
               "lenz.loco-drive", "lenz.loco-functions", "lenz.loco-request", "lenz.turnout",
               // from the interface
               "lenz.ok", "lenz.error", "lenz.status", "lenz.feedback", "lenz.emergency-off",
               "lenz.all-on", "lenz.service-mode", "lenz.busy", "lenz.unsupported", "lenz.version",
               "lenz.emergency-stop", "lenz.loco-state", "lenz.loco-hand",
               // both
               "lenz.unknown", "lenz.bad-xor"}) {}

  private:
    bool Ends(Direction) const override { return false; } // broadcasts come at any time

    bool V3() const { return version_ >= 0x30; }

    bool KnownHeader(Direction d, uint8_t b) const {
        if (d == Direction::ToInterface) return In(kToHeaders, b);
        return In(kFromHeaders, b) || (V3() && In(kFromHeadersV3, b));
    }

    Piece Cut(Direction d, std::string_view held, bool final) override {
        size_t i = d == Direction::ToInterface ? 0 : 1;
        if (hunting_[i]) return Hunt(d, held, final, 0, false);
        size_t length = MessageLength(At(held, 0));
        if (held.size() < length) return final ? Raw(held.size(), Incomplete(held)) : Wait();
        std::string_view message = held.substr(0, length);
        if (!XorOk(message)) {
            hunting_[i] = true;
            return Hunt(d, held, final, 1, true);
        }
        Piece p = d == Direction::ToInterface ? Command(message) : Broadcast(message);
        p.length = length;
        return p;
    }

    static std::string Incomplete(std::string_view held) {
        return "incomplete message (" + std::to_string(held.size()) + " of " +
               std::to_string(MessageLength(At(held, 0))) + " bytes)";
    }

    // Looks for the next message start from `from` on. The bytes before it are one message:
    // the failed one (`failed`) or bytes skipped on the way. A candidate that needs more bytes
    // than are held ends the piece before it and waits (unless `final`).
    Piece Hunt(Direction d, std::string_view held, bool final, size_t from, bool failed) {
        size_t i = d == Direction::ToInterface ? 0 : 1;
        size_t p = from;
        for (; p < held.size(); ++p) {
            if (!KnownHeader(d, At(held, p))) continue;
            size_t length = MessageLength(At(held, p));
            if (p + length > held.size()) {
                if (final) continue;
                break;
            }
            if (XorOk(held.substr(p, length))) {
                hunting_[i] = false;
                break;
            }
        }
        if (p == 0) {
            if (!hunting_[i]) return Cut(d, held, final);
            return Wait();
        }
        if (!failed)
            return Raw(p, "skipped " + std::to_string(p) + " byte(s) looking for a message");
        size_t length = std::min(MessageLength(At(held, 0)), held.size());
        std::string_view bad = held.substr(0, length);
        Piece piece{p, "lenz.bad-xor",
                    "XOR byte " + Hex(At(bad, length - 1)) + " instead of " +
                        Hex(XorOf(bad.substr(0, length - 1))) + " after header " + Hex(At(held, 0)),
                    false};
        if (p != length)
            piece.meaning += "; " + std::to_string(p) + " byte(s) up to the next message";
        return piece;
    }

    // What the PC sends.
    Piece Command(std::string_view m) {
        uint8_t h = At(m, 0);
        switch (h) {
        case 0x21:
            if (At(m, 1) == 0x81) return {0, "lenz.power-on", "power on (resume operations)"};
            if (At(m, 1) == 0x21) return {0, "lenz.version-request", "version request"};
            break;
        case 0x80:
            return {0, "lenz.power-off", "power off (stop operations)"};
        case 0x42:
            return {0, "lenz.feedback-request",
                    "feedback request module " + std::to_string(At(m, 1) + 1) + " " +
                        Nibble(At(m, 2))};
        case 0x52:
            return {0, "lenz.turnout",
                    "turnout command address byte " + std::to_string(At(m, 1)) + " data " +
                        Hex(At(m, 2))};
        case 0xA1:
        case 0xA2:
            return {0, "lenz.loco-request",
                    "locomotive information request, locomotive " + std::to_string(At(m, 1))};
        case 0xB3:
        case 0xB4:
            return OldDrive(m);
        case 0xE3:
            v3Asked_ = std::array<uint8_t, 2>{At(m, 2), At(m, 3)};
            return {0, "lenz.loco-request",
                    "locomotive information request (v3), locomotive " +
                        LocoAddress(At(m, 2), At(m, 3))};
        case 0xE4:
            return V3Command(m);
        default:
            break;
        }
        return Unknown(m);
    }

    static std::string Nibble(uint8_t b) {
        if (b == 0x80) return "lower inputs";
        if (b == 0x81) return "upper inputs";
        return "nibble byte " + Hex(b);
    }

    static Piece OldDrive(std::string_view m) {
        uint8_t b = At(m, 2);
        std::string meaning = "locomotive " + std::to_string(At(m, 1)) + ": speed code " +
                              std::to_string(b & 0x1F) + ", " +
                              ((b & 0x40) ? "forward" : "backward") + ", light " + OnOff(b & 0x20) +
                              ", " + Functions(At(m, 3));
        if (At(m, 0) == 0xB4) meaning += ", mode byte " + std::to_string(At(m, 4));
        return {0, "lenz.loco-drive", meaning};
    }

    static Piece V3Command(std::string_view m) {
        uint8_t id = At(m, 1);
        std::string loco = "locomotive " + LocoAddress(At(m, 2), At(m, 3)) + ": ";
        if (id >= 0x10 && id <= 0x13) {
            static const char* const steps[] = {"14", "27", "28", "128"};
            uint8_t f = At(m, 4);
            unsigned code = f & 0x7F;
            std::string step =
                (id == 0x11 || id == 0x12) ? InterleavedStep(code) : LinearStep(code);
            return {0, "lenz.loco-drive",
                    loco + step + " (" + steps[id - 0x10] + " steps), " +
                        ((f & 0x80) ? "forward" : "backward")};
        }
        if (id == 0x20)
            return {0, "lenz.loco-functions",
                    loco + "light " + OnOff(At(m, 4) & 0x10) + ", " + Functions(At(m, 4))};
        return Unknown(m);
    }

    static Piece Unknown(std::string_view m) {
        return {0, "lenz.unknown",
                "header " + Hex(At(m, 0)) + " with " + std::to_string(m.size() - 2) +
                    " data byte(s), not decoded"};
    }

    // What the interface sends: answers and broadcasts.
    Piece Broadcast(std::string_view m) {
        uint8_t h = At(m, 0);
        if (h >= 0x42 && h <= 0x50 && !(h & 1)) return Feedback(m);
        switch (h) {
        case 0x01:
            return Status(At(m, 1));
        case 0x61:
            switch (At(m, 1)) {
            case 0x00:
                return {0, "lenz.emergency-off", "emergency off (track power off)"};
            case 0x01:
                return {0, "lenz.all-on", "all on (normal operation)"};
            case 0x02:
                return {0, "lenz.service-mode",
                        "service mode entry (track power off, programming track on)"};
            case 0x81:
                return {0, "lenz.busy", "command station busy (the command is sent again)"};
            case 0x82:
                return {0, "lenz.unsupported", "last command not supported by the command station"};
            }
            break;
        case 0x62:
        case 0x63:
            if (At(m, 1) == 0x21) {
                version_ = At(m, 2);
                return {0, "lenz.version",
                        "version " + std::to_string(version_ >> 4) + "." +
                            std::to_string(version_ & 0x0F)};
            }
            break;
        case 0x81:
            if (At(m, 1) == 0x00)
                return {0, "lenz.emergency-stop", "emergency stop on a hand controller"};
            break;
        case 0x83:
        case 0x84:
        case 0xA3:
        case 0xA4:
            return OldLocoState(m);
        case 0xE3:
            return {0, "lenz.loco-hand",
                    "locomotive " + LocoAddress(At(m, 2), At(m, 3)) +
                        " taken over by another device (v3)"};
        case 0xE4:
        case 0xE5:
            return V3LocoState(m);
        default:
            break;
        }
        return Unknown(m);
    }

    static Piece Status(uint8_t code) {
        switch (code) {
        case 1:
            return {0, "lenz.error", "error between interface and PC (the command is sent again)"};
        case 2:
            return {0, "lenz.error", "error between interface and command station"};
        case 3:
            return {0, "lenz.error", "unknown command"};
        case 4:
            return {0, "lenz.ok", "command accepted"};
        case 5:
            return {0, "lenz.error", "command station does not answer"};
        default:
            return {0, "lenz.status", "interface status " + Hex(code)};
        }
    }

    Piece Feedback(std::string_view m) {
        std::string meaning;
        for (size_t i = 1; i + 2 < m.size(); i += 2) {
            if (!meaning.empty()) meaning += "; ";
            meaning += FeedbackEntry(At(m, i), At(m, i + 1));
        }
        return {0, "lenz.feedback", meaning.empty() ? "feedback without entries" : meaning};
    }

    std::string FeedbackEntry(uint8_t a, uint8_t f) const {
        unsigned type = f & 0x60;
        if (type == 0x40) {
            bool upper = f & 0x10;
            std::string s = "feedback module " + std::to_string(a + 1) +
                            (upper ? " upper" : " lower") + " inputs";
            for (int bit = 0; bit < 4; ++bit)
                s += " " + std::to_string(bit + (upper ? 5 : 1)) + ((f >> bit) & 1 ? "x" : "-");
            return s;
        }
        if (type == 0x20 || (type == 0x00 && V3())) {
            unsigned first = a * 4u + ((f & 0x10) ? 3 : 1);
            return "turnouts " + std::to_string(first) + ((f & 0x01) ? " R, " : " A, ") +
                   std::to_string(first + 1) + ((f & 0x04) ? " R" : " A") +
                   (type == 0x00 ? " (without feedback)" : "");
        }
        return "feedback type " + std::string((f & 0x40) ? "1" : "0") + ((f & 0x20) ? "1" : "0") +
               " at address " + std::to_string(a + 1) + ", not defined";
    }

    static Piece OldLocoState(std::string_view m) {
        uint8_t h = At(m, 0), f = At(m, 2);
        unsigned mode = (h == 0x84 || h == 0xA4) ? At(m, 4) : 4;
        unsigned code = f & 0x1F;
        std::string step = mode == 0 ? LinearStep(code) : InterleavedStep(code);
        bool hand = h == 0xA3 || h == 0xA4;
        return {0, hand ? "lenz.loco-hand" : "lenz.loco-state",
                "locomotive " + std::to_string(At(m, 1)) + (hand ? " on a hand controller" : "") +
                    ": " + ((f & 0x40) ? "forward" : "backward") + ", light " + OnOff(f & 0x20) +
                    ", " + step + ", functions " + Hex(At(m, 3))};
    }

    Piece V3LocoState(std::string_view m) {
        unsigned mode = At(m, 1) & 7;
        uint8_t f = At(m, 2), g = At(m, 3);
        unsigned code = f & 0x7F;
        std::string step;
        if (mode == 0 || mode == 4)
            step = LinearStep(code);
        else if (mode == 1 || mode == 2)
            step = InterleavedStep(code);
        else
            step = "speed step " + std::to_string(code);
        std::string loco = "locomotive ";
        loco += v3Asked_ ? LocoAddress((*v3Asked_)[0], (*v3Asked_)[1]) : "?";
        v3Asked_.reset();
        return {0, "lenz.loco-state",
                loco + " (v3): " + ((f & 0x80) ? "forward" : "backward") + ", " + step + ", mode " +
                    std::to_string(mode) + ", light " + OnOff(g & 0x10) + ", " + Functions(g)};
    }

    bool hunting_[2] = {false, false};
    uint8_t version_ = 0; // the interface's last version answer, 0x36 for 3.6
    // The address bytes of the last version-3 locomotive request, which its answer lacks.
    std::optional<std::array<uint8_t, 2>> v3Asked_;
};

} // namespace

std::unique_ptr<Decoder> MakeLenzDecoder() {
    return std::make_unique<LenzDecoder>();
}

} // namespace trace

// Intellibox and TWIN-Center: three kinds of command share the line. P50X commands are text
// lines ending in CR (answered with text up to "]") or binary commands, first byte 0x80 or
// above (answered with one reply byte); in mixed mode both carry a leading "x". The older P50
// commands are one byte (0x60 power on, 0x61 power off) or two (speed byte, address), bare in
// mixed mode and wrapped in 0xC6 (one byte) or 0xC7 (two bytes) otherwise; they get no answer.
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

#include <utility>
#include <vector>

namespace trace {
namespace {

using namespace text;

constexpr uint8_t kPrefix = 'x';
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kAnswerEnd = ']';
constexpr size_t kLongestLine = 256;
constexpr size_t kLongestAnswer = 512;

std::string ReplyText(uint8_t code) {
    switch (code) {
    case 0:
        return "ok";
    case 2:
        return "illegal parameter value";
    case 6:
        return "power is off";
    case 8:
        return "no room in the locomotive command buffer, try again";
    case 9:
        return "turnout command buffer full, try again";
    case 10:
        return "no locomotive status (locomotive not in a slot)";
    case 11:
        return "no slot free";
    case 12:
        return "locomotive number not valid for its protocol";
    case 13:
        return "locomotive controlled by another device";
    case 14:
        return "turnout address not valid for its protocol";
    case 16:
        return "I2C buffer full";
    case 64:
        return "turnout command buffer 75% full";
    case 65:
        return "accepted, but the Intellibox is halted";
    case 66:
        return "accepted, but the Intellibox has power off";
    default:
        return "code not defined";
    }
}

// A P50 locomotive command's first byte: speed 0..14 (15 changes direction), 16 for light.
std::string P50Speed(uint8_t b) {
    if (b >= 0x20) return "speed byte " + Hex(b);
    unsigned speed = b & 0x0F;
    return (speed == 15 ? std::string("change direction") : "speed " + std::to_string(speed)) +
           ", light " + OnOff(b & 0x10);
}

// The numbers of "L<address>,<speed>,<light>,<direction>,<F1>,<F2>,<F3>,<F4>", or none.
std::vector<unsigned> LocoFields(std::string_view line) {
    std::vector<unsigned> fields;
    if (line.size() < 2 || line[0] != 'L') return {};
    unsigned value = 0;
    bool digits = false;
    for (size_t i = 1; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ',') {
            if (!digits) return {};
            fields.push_back(value);
            value = 0;
            digits = false;
        } else if (line[i] >= '0' && line[i] <= '9' && value < 100000) {
            value = value * 10 + static_cast<unsigned>(line[i] - '0');
            digits = true;
        } else {
            return {};
        }
    }
    if (fields.size() != 8) return {};
    for (size_t i = 2; i < 8; ++i)
        if (fields[i] > 1) return {};
    return fields;
}

class IntelliboxDecoder : public SplitDecoder {
  public:
    IntelliboxDecoder()
        : SplitDecoder("intellibox",
                       {"ib.loco-text", "ib.baud", "ib.mode-probe", "ib.text", "ib.probe",
                        "ib.power-on", "ib.power-off", "ib.sensor", "ib.sensor-module",
                        "ib.sensor-status", "ib.loco", "ib.binary", "ib.p50-power", "ib.p50-loco",
                        "ib.p50", "ib.reply", "ib.text-answer"}) {}

  private:
    // SensorStatus: a reply code, and after a 0x00 the module's two status bytes.
    enum class Expect { Nothing, Reply, SensorStatus, Text };

    bool Ends(Direction) const override { return true; }

    Piece Cut(Direction d, std::string_view held, bool final) override {
        if (d == Direction::FromInterface) return Answer(held, final);
        uint8_t b = At(held, 0);
        if (b == kPrefix) {
            if (held.size() < 2) return final ? Raw(1, "\"x\" without a command") : Wait();
            return At(held, 1) >= 0x80 ? Binary(held, 1, final) : Line(held, 1, final);
        }
        if (b >= 0x80) return Binary(held, 0, final);
        if (b == 0x60 || b == 0x61) {
            expect_ = Expect::Nothing;
            return {1, "ib.p50-power", std::string("P50 power ") + (b == 0x60 ? "on" : "off")};
        }
        if (b < 0x30) {
            if (held.size() < 2) return final ? Raw(1, "incomplete P50 command") : Wait();
            expect_ = Expect::Nothing;
            return {2, "ib.p50-loco", P50Loco(At(held, 0), At(held, 1))};
        }
        return Line(held, 0, final);
    }

    static std::string P50Loco(uint8_t speed, uint8_t address) {
        return "P50 locomotive " + std::to_string(address) + ": " + P50Speed(speed);
    }

    // A text command from `at` (after the prefix, if any) up to its CR.
    Piece Line(std::string_view held, size_t at, bool final) {
        size_t cr = held.find(static_cast<char>(kCr), at);
        if (cr == std::string_view::npos) {
            if (held.size() > kLongestLine)
                return Raw(held.size(), "text without CR " + Quoted(held.substr(at)));
            return final ? Raw(held.size(), "text without CR " + Quoted(held.substr(at))) : Wait();
        }
        std::string_view line = held.substr(at, cr - at);
        std::string suffix = at ? " (x prefix)" : "";
        expect_ = Expect::Text;
        asked_ = Quoted(line, 24);
        std::vector<unsigned> loco = LocoFields(line);
        if (!loco.empty())
            return {cr + 1, "ib.loco-text",
                    "locomotive " + std::to_string(loco[0]) + ": speed value " +
                        std::to_string(loco[1]) + ", light " + OnOff(loco[2]) + ", " +
                        (loco[3] ? "forward" : "backward") + ", F1-F4 " + std::to_string(loco[4]) +
                        std::to_string(loco[5]) + std::to_string(loco[6]) +
                        std::to_string(loco[7]) + suffix};
        if (line.size() > 1 && line[0] == 'B' &&
            line.find_first_not_of("0123456789", 1) == std::string_view::npos)
            return {cr + 1, "ib.baud",
                    "switch to " + std::string(line.substr(1)) + " baud" + suffix};
        if (line == "X") return {cr + 1, "ib.mode-probe", "mode probe" + suffix};
        return {cr + 1, "ib.text", "text command " + Quoted(line) + suffix};
    }

    // A binary P50X command at `at` (after the prefix, if any).
    Piece Binary(std::string_view held, size_t at, bool final) {
        std::string suffix = at ? " (x prefix)" : "";
        auto need = [&](size_t n) { return held.size() >= at + n; };
        uint8_t c = At(held, at);
        switch (c) {
        case 0xC4:
            Expecting("probe");
            return {at + 1, "ib.probe", "probe" + suffix};
        case 0xA7:
            Expecting("power on");
            return {at + 1, "ib.power-on", "power on" + suffix};
        case 0xA6:
            Expecting("power off");
            return {at + 1, "ib.power-off", "power off" + suffix};
        case 0x99:
            Expecting("sensor command");
            return {at + 1, "ib.sensor", "sensor command 0x99" + suffix};
        case 0x98: {
            if (!need(2)) break;
            module_ = At(held, at + 1);
            Expecting("sensor module " + std::to_string(module_));
            expect_ = Expect::SensorStatus;
            return {at + 2, "ib.sensor-module",
                    "status of sensor module " + std::to_string(module_) + suffix};
        }
        case 0x80: {
            if (!need(5)) break;
            unsigned address = At(held, at + 1) + 256u * At(held, at + 2);
            uint8_t flags = At(held, at + 4);
            Expecting("locomotive " + std::to_string(address));
            return {at + 5, "ib.loco",
                    "locomotive " + std::to_string(address) + ": speed value " +
                        std::to_string(At(held, at + 3)) + ", " +
                        ((flags & 0x20) ? "forward" : "backward") + ", light " +
                        OnOff(flags & 0x10) + ", F1-F4 " + LowFirst(flags & 0x0F, 4) + suffix};
        }
        case 0xC6:
            if (!need(2)) break;
            expect_ = Expect::Nothing;
            if (At(held, at + 1) == 0x60 || At(held, at + 1) == 0x61)
                return {at + 2, "ib.p50-power",
                        std::string("P50 power ") + (At(held, at + 1) == 0x60 ? "on" : "off") +
                            " (wrapped)" + suffix};
            return {at + 2, "ib.p50",
                    "P50 command " + Hex(At(held, at + 1)) + " (wrapped)" + suffix};
        case 0xC7:
            if (!need(3)) break;
            expect_ = Expect::Nothing;
            return {at + 3, "ib.p50-loco",
                    P50Loco(At(held, at + 1), At(held, at + 2)) + " (wrapped)" + suffix};
        default:
            expect_ = Expect::Nothing;
            return {at + 1, "ib.binary", "binary command " + Hex(c) + ", not decoded" + suffix};
        }
        if (!final) return Wait();
        expect_ = Expect::Nothing;
        return Raw(held.size(), "incomplete binary command " + Hex(c));
    }

    void Expecting(std::string asked) {
        expect_ = Expect::Reply;
        asked_ = std::move(asked);
    }

    Piece Answer(std::string_view held, bool final) {
        if (expect_ == Expect::SensorStatus) return SensorStatus(held, final);
        if (expect_ == Expect::Reply) {
            expect_ = Expect::Nothing;
            uint8_t code = At(held, 0);
            return {1, "ib.reply",
                    "answer to " + asked_ + ": " + Hex(code) + " " + ReplyText(code)};
        }
        if (expect_ == Expect::Text) {
            size_t end = held.find(static_cast<char>(kAnswerEnd));
            if (end != std::string_view::npos) {
                expect_ = Expect::Nothing;
                return {end + 1, "ib.text-answer",
                        "answer to " + asked_ + ": " + Quoted(held.substr(0, end))};
            }
            if (final || held.size() > kLongestAnswer) {
                if (final) expect_ = Expect::Nothing;
                return {held.size(), "ib.text-answer",
                        "answer to " + asked_ + " without \"]\": " + Quoted(held)};
            }
            return Wait();
        }
        return Raw(held.size(), std::to_string(held.size()) + " byte(s) without a request");
    }

    // 0x00 and two bytes of contacts (the first byte holds contacts 1-8, contact 1 in its top
    // bit, as the s88 bus shifts them), or one error code.
    Piece SensorStatus(std::string_view held, bool final) {
        uint8_t code = At(held, 0);
        if (code != 0x00) {
            expect_ = Expect::Nothing;
            return {1, "ib.reply",
                    "answer to " + asked_ + ": " + Hex(code) + " " + ReplyText(code)};
        }
        if (held.size() < 3) {
            if (!final) return Wait();
            expect_ = Expect::Nothing;
            return Raw(held.size(),
                       "incomplete status of sensor module " + std::to_string(module_));
        }
        expect_ = Expect::Nothing;
        return {3, "ib.sensor-status",
                "sensor module " + std::to_string(module_) + ": contacts 1-16 " +
                    Bits(At(held, 1), 8) + Bits(At(held, 2), 8)};
    }

    Expect expect_ = Expect::Nothing;
    uint8_t module_ = 0; // the module a sensor status was asked of
    std::string asked_;  // what the expected answer answers, for its meaning
};

} // namespace

std::unique_ptr<Decoder> MakeIntelliboxDecoder() {
    return std::make_unique<IntelliboxDecoder>();
}

} // namespace trace

// Selectrix: every request is two bytes, the address (bit 7 set for a write) and then the value
// to write or the filler 0x20 of a read; the interface answers a read with one byte, the
// contents of the address, and a write with nothing. Address 127 is the central unit's own
// register (track power).
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

#include <optional>

namespace trace {
namespace {

using namespace text;

constexpr uint8_t kCentralUnit = 127;
constexpr uint8_t kFiller = 0x20;

std::string AddressName(uint8_t address) {
    switch (address) {
    case 104:
    case 105:
        return " (programming data)";
    case 106:
        return " (programming control)";
    case 109:
        return " (programming status)";
    case kCentralUnit:
        return " (central unit: track power)";
    default:
        return address >= 112 ? " (system address)" : "";
    }
}

// A device address's byte read as a locomotive decoder's.
std::string AsLocomotive(uint8_t value) {
    return "speed " + std::to_string(value & 0x1F) + ", " +
           ((value & 0x20) ? "backward" : "forward") + ", light " + OnOff(value & 0x40) +
           ", function " + OnOff(value & 0x80);
}

class SelectrixDecoder : public SplitDecoder {
  public:
    SelectrixDecoder()
        : SplitDecoder("selectrix", {"sx.read", "sx.write", "sx.power", "sx.answer"}) {}

  private:
    Piece Cut(Direction d, std::string_view held, bool final) override {
        return d == Direction::ToInterface ? Request(held, final) : Answer(held);
    }
    bool Ends(Direction) const override { return true; }

    Piece Request(std::string_view held, bool final) {
        if (held.size() < 2)
            return final ? Raw(1, "incomplete request (" + Hex(At(held, 0)) + " alone)") : Wait();
        uint8_t address = At(held, 0) & 0x7F, value = At(held, 1);
        if (!(At(held, 0) & 0x80)) {
            asked_ = address;
            std::string meaning = "read address " + std::to_string(address) + AddressName(address);
            if (value != kFiller) meaning += ", filler " + Hex(value) + " instead of 0x20";
            return {2, "sx.read", meaning};
        }
        if (address == kCentralUnit) {
            std::string meaning = value == 0xFF   ? "track power on"
                                  : value == 0x00 ? "track power off"
                                                  : "write central unit register " + Hex(value);
            return {2, "sx.power", meaning};
        }
        std::string meaning = "write address " + std::to_string(address) + AddressName(address) +
                              " value " + Hex(value) + " = " + Bits(value, 8);
        if (address < 104) meaning += " (as locomotive: " + AsLocomotive(value) + ")";
        return {2, "sx.write", meaning};
    }

    Piece Answer(std::string_view held) {
        if (!asked_)
            return Raw(held.size(),
                       std::to_string(held.size()) + " byte(s) without a read request");
        uint8_t address = *asked_, value = At(held, 0);
        asked_.reset();
        if (address == kCentralUnit)
            return {1, "sx.answer",
                    "central unit " + Hex(value) + ": track power " + OnOff(value != 0)};
        return {1, "sx.answer",
                "address " + std::to_string(address) + " holds " + Hex(value) + " = " +
                    Bits(value, 8)};
    }

    // The address of the last read request not yet answered.
    std::optional<uint8_t> asked_;
};

} // namespace

std::unique_ptr<Decoder> MakeSelectrixDecoder() {
    return std::make_unique<SelectrixDecoder>();
}

} // namespace trace

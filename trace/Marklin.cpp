// Märklin interface: commands without answers, except the feedback reads. A locomotive command
// is two bytes, the speed byte (speed 0..14, 15 changes direction, 16 added for the light) and
// the address; a function command likewise, its first byte 64 and above. 0x60 switches the
// power on, 0x61 off. 128 + n asks for the feedback modules 1..n, 192 + n for module n alone;
// the interface answers two bytes per module.
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

namespace trace {
namespace {

using namespace text;

class MarklinDecoder : public SplitDecoder {
  public:
    MarklinDecoder()
        : SplitDecoder("marklin",
                       {"marklin.power-on", "marklin.power-off", "marklin.loco",
                        "marklin.functions", "marklin.feedback-request", "marklin.feedback"}) {}

  private:
    bool Ends(Direction) const override { return true; }

    Piece Cut(Direction d, std::string_view held, bool final) override {
        return d == Direction::ToInterface ? Command(held, final) : Answer(held, final);
    }

    Piece Command(std::string_view held, bool final) {
        uint8_t b = At(held, 0);
        if (b == 0x60 || b == 0x61) {
            modulesDue_ = 0;
            return {1, b == 0x60 ? "marklin.power-on" : "marklin.power-off",
                    std::string("power ") + (b == 0x60 ? "on" : "off")};
        }
        unsigned n = b & 0x3F;
        if ((b & 0xC0) == 0x80 && n >= 1 && n <= 31) {
            modulesDue_ = n;
            nextModule_ = 1;
            return {1, "marklin.feedback-request",
                    n == 1 ? "read feedback module 1"
                           : "read feedback modules 1 to " + std::to_string(n)};
        }
        if ((b & 0xC0) == 0xC0 && n >= 1 && n <= 31) {
            modulesDue_ = 1;
            nextModule_ = n;
            return {1, "marklin.feedback-request", "read feedback module " + std::to_string(n)};
        }
        if (b < 0x20 || (b >= 0x40 && b < 0x60)) {
            if (held.size() < 2) return final ? Raw(1, "incomplete locomotive command") : Wait();
            modulesDue_ = 0;
            std::string loco = "locomotive " + std::to_string(At(held, 1)) + ": ";
            if (b >= 0x40)
                return {2, "marklin.functions",
                        loco + "function byte " + Hex(b) + ", F1-F4 " + LowFirst(b & 0x0F, 4)};
            unsigned speed = b & 0x0F;
            return {2, "marklin.loco",
                    loco +
                        (speed == 15 ? std::string("change direction")
                                     : "speed " + std::to_string(speed)) +
                        ", light " + OnOff(b & 0x10)};
        }
        return Raw(1, "byte " + Hex(b) + " is no command");
    }

    Piece Answer(std::string_view held, bool final) {
        if (modulesDue_ == 0)
            return Raw(held.size(), std::to_string(held.size()) + " byte(s) without a request");
        if (held.size() < 2) {
            if (!final) return Wait();
            modulesDue_ = 0;
            return Raw(1, "incomplete answer of module " + std::to_string(nextModule_) +
                              " (1 of 2 bytes)");
        }
        --modulesDue_;
        unsigned module = nextModule_++;
        return {2, "marklin.feedback",
                "feedback module " + std::to_string(module) + ": " + Bits(At(held, 0), 8) + " " +
                    Bits(At(held, 1), 8)};
    }

    unsigned modulesDue_ = 0; // modules whose two answer bytes are still to come
    unsigned nextModule_ = 1;
};

} // namespace

std::unique_ptr<Decoder> MakeMarklinDecoder() {
    return std::make_unique<MarklinDecoder>();
}

} // namespace trace

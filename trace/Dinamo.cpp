// DINAMO: frames both ways, a header (bits 0-1 the number n of data bytes, bit 4 hold and bit
// 5 fault in the DINAMO's frames, bit 6 the toggle, bit 7 clear), n data bytes and a check
// byte that makes the sum of the frame a multiple of 128. Bytes with bit 7 set where a header
// belongs are skipped; a frame whose sum fails is lost as a whole. The PC flips the toggle
// after every valid answer, so a PC frame with the toggle of the one before is a resend.
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

#include <optional>

namespace trace {
namespace {

using namespace text;

constexpr uint8_t kResetFault = 0x94;

class DinamoDecoder : public SplitDecoder {
  public:
    DinamoDecoder()
        : SplitDecoder("dinamo", {"dinamo.poll", "dinamo.reset-fault", "dinamo.command",
                                  "dinamo.status", "dinamo.occupancy", "dinamo.magnet",
                                  "dinamo.block", "dinamo.report", "dinamo.bad-check"}) {}

  private:
    // The link is question and answer: an answer shows the frame before it is complete. The
    // PC's frames do not end an answer (a late one may still be on its way).
    bool Ends(Direction d) const override { return d == Direction::FromInterface; }

    Piece Cut(Direction d, std::string_view held, bool final) override {
        uint8_t h = At(held, 0);
        if (h & 0x80) {
            size_t n = 1;
            while (n < held.size() && (At(held, n) & 0x80))
                ++n;
            return Raw(n, "skipped " + std::to_string(n) + " byte(s) with bit 7 set");
        }
        size_t length = (h & 3) + 2u;
        if (held.size() < length) {
            if (!final) return Wait();
            return Raw(held.size(), "incomplete frame (" + std::to_string(held.size()) + " of " +
                                        std::to_string(length) + " bytes)");
        }
        std::string_view frame = held.substr(0, length);
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < length; ++i)
            sum += At(frame, i);
        uint8_t check = static_cast<uint8_t>(((0u - sum) & 0x7F) | 0x80);
        if (((sum + At(frame, length - 1)) & 0x7F) != 0)
            return {length, "dinamo.bad-check",
                    "check byte " + Hex(At(frame, length - 1)) + " instead of " + Hex(check),
                    false};
        std::string_view data = frame.substr(1, length - 2);
        Piece p = d == Direction::ToInterface ? PcFrame(h, data) : DinamoFrame(h, data);
        p.length = length;
        return p;
    }

    Piece PcFrame(uint8_t h, std::string_view data) {
        int toggle = (h >> 6) & 1;
        std::string tail = ", toggle " + std::to_string(toggle);
        if (lastToggle_ == toggle) tail += ", resent (same toggle as the frame before)";
        lastToggle_ = toggle;
        if (data.empty()) return {0, "dinamo.poll", "empty frame" + tail};
        if (data.size() == 1 && At(data, 0) == kResetFault)
            return {0, "dinamo.reset-fault", "fault reset" + tail};
        return {0, "dinamo.command", "command " + HexBytes(data) + tail};
    }

    static Piece DinamoFrame(uint8_t h, std::string_view data) {
        std::string status = std::string("hold ") + OnOff(h & 0x10) + ", fault " + OnOff(h & 0x20) +
                             ", toggle " + std::to_string((h >> 6) & 1);
        if (data.empty()) return {0, "dinamo.status", status};
        uint8_t b1 = At(data, 0);
        unsigned b2 = data.size() >= 2 ? At(data, 1) & 0x7F : 0;
        if ((b1 & 0x7C) == 0x04 || (b1 & 0x7C) == 0x0C) {
            if (data.size() <= 2)
                return {0, "dinamo.occupancy",
                        "occupancy input " + std::to_string(b2 + 1) +
                            ((b1 & 0x02) ? " occupied; " : " free; ") + status};
        } else if ((b1 & 0x7E) == 0x02) {
            return {0, "dinamo.magnet",
                    "magnet " + std::to_string(b2 + 1) + " state " + std::to_string(b1 & 1) + "; " +
                        status};
        } else if ((b1 & 0x60) == 0x40) {
            return {0, "dinamo.block",
                    "block " + std::to_string((b1 & 0x1F) + 1) + " value " + std::to_string(b2) +
                        "; " + status};
        }
        return {0, "dinamo.report", "report " + HexBytes(data) + ", not decoded; " + status};
    }

    std::optional<int> lastToggle_; // of the PC's last valid frame
};

} // namespace

std::unique_ptr<Decoder> MakeDinamoDecoder() {
    return std::make_unique<DinamoDecoder>();
}

} // namespace trace

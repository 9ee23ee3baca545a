// Serial card in a rack: the PC first sends a configuration byte (bits 0-4; bit 3 asks the
// card to go on at 19200 baud), which the card echoes. A feedback request is two bytes,
// 0x80 + module (0..63) and the request value plus 0x40 or 0x50, plus 0x20 for the modules
// 64..127; the card answers two bytes, the second the feedback byte. The single byte 0x80 is
// the connection test, answered with one byte.
#include "trace/SplitDecoder.h"
#include "trace/Text.h"

namespace trace {
namespace {

using namespace text;

constexpr uint8_t kTest = 0x80;

bool SecondRequestByte(uint8_t b) {
    return b >= 0x40 && b < 0x80;
}

class KaartDecoder : public SplitDecoder {
  public:
    KaartDecoder()
        : SplitDecoder("kaart",
                       {"kaart.config", "kaart.test", "kaart.feedback-request", "kaart.echo",
                        "kaart.bad-echo", "kaart.test-answer", "kaart.feedback"}) {}

  private:
    enum class Expect { Nothing, Echo, TestAnswer, Feedback };

    bool Ends(Direction) const override { return true; }

    Piece Cut(Direction d, std::string_view held, bool final) override {
        return d == Direction::ToInterface ? Request(held, final) : Answer(held, final);
    }

    Piece Request(std::string_view held, bool final) {
        uint8_t b = At(held, 0);
        if (b < 0x20) {
            Await(Expect::Echo, b);
            return {1, "kaart.config",
                    "configuration " + Hex(b) + ": options 0 1 2 " + LowFirst(b & 7, 3) +
                        ", option 4 " + OnOff(b & 0x10) +
                        ((b & 0x08) ? ", then 19200 baud" : ", stays at 9600 baud")};
        }
        if (b < 0x80 || b >= 0xC0) return Raw(1, "byte " + Hex(b) + " is no request");
        if (held.size() < 2) {
            if (!final) return Wait();
            if (b == kTest) {
                Await(Expect::TestAnswer, b);
                return {1, "kaart.test", "connection test"};
            }
            return Raw(1, "incomplete feedback request");
        }
        uint8_t second = At(held, 1);
        if (!SecondRequestByte(second)) {
            if (b == kTest) {
                Await(Expect::TestAnswer, b);
                return {1, "kaart.test", "connection test"};
            }
            return Raw(1, "feedback request " + Hex(b) + " without its second byte");
        }
        unsigned module = (b & 0x3F) + ((second & 0x20) ? 64u : 0u);
        Await(Expect::Feedback, static_cast<uint8_t>(module));
        return {2, "kaart.feedback-request",
                "feedback request module " + std::to_string(module) + ", request value " +
                    std::to_string(second & 0x0F) + ((second & 0x10) ? " (+0x50)" : " (+0x40)")};
    }

    void Await(Expect e, uint8_t what) {
        expect_ = e;
        asked_ = what;
    }

    Piece Answer(std::string_view held, bool final) {
        Expect e = expect_;
        uint8_t value = At(held, 0);
        switch (e) {
        case Expect::Echo:
            expect_ = Expect::Nothing;
            if (value == asked_)
                return {1, "kaart.echo", "configuration " + Hex(value) + " echoed"};
            return {1, "kaart.bad-echo",
                    "echo " + Hex(value) + " differs from configuration " + Hex(asked_), false};
        case Expect::TestAnswer:
            expect_ = Expect::Nothing;
            return {1, "kaart.test-answer", "connection test answer " + Hex(value)};
        case Expect::Feedback:
            if (held.size() < 2) {
                if (!final) return Wait();
                expect_ = Expect::Nothing;
                return Raw(1, "incomplete answer of module " + std::to_string(asked_) +
                                  " (1 of 2 bytes)");
            }
            expect_ = Expect::Nothing;
            return {2, "kaart.feedback",
                    "module " + std::to_string(asked_) + " feedback " + Hex(At(held, 1)) + " = " +
                        Bits(At(held, 1), 8) + " (first byte " + Hex(value) + ")"};
        case Expect::Nothing:
            break;
        }
        return Raw(held.size(), std::to_string(held.size()) + " byte(s) without a request");
    }

    Expect expect_ = Expect::Nothing;
    uint8_t asked_ = 0; // the configuration byte or module the answer belongs to
};

} // namespace

std::unique_ptr<Decoder> MakeKaartDecoder() {
    return std::make_unique<KaartDecoder>();
}

} // namespace trace

// The shared part of every system's decoder: the held bytes of each direction and the loop
// that cuts messages off their front. A system supplies the cut and says which direction's
// traffic ends what the other holds.
#pragma once

#include "trace/LineDecoder.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trace {

class SplitDecoder : public Decoder {
  public:
    std::string_view System() const override { return system_; }
    std::vector<Message> Feed(Direction d, std::string_view bytes) override;
    std::vector<Message> Flush() override;
    size_t Held(Direction d) const override { return held_[Index(d)].size(); }
    const std::vector<std::string_view>& Kinds() const override { return kinds_; }

  protected:
    // `kinds` lists what Cut can name, without "raw" (added here).
    SplitDecoder(std::string_view system, std::vector<std::string_view> kinds);

    // The next message at the front of `held` (never empty). length 0 asks for more bytes;
    // with `final` nothing more will come, and a length 0 makes the rest one raw message.
    // A length beyond `held` is a fault of the cut (taken as all of `held`).
    struct Piece {
        size_t length = 0;
        std::string kind;
        std::string meaning;
        bool ok = true;
    };
    virtual Piece Cut(Direction d, std::string_view held, bool final) = 0;

    // Whether bytes in direction `d` show that what the other direction holds is over (a
    // strict question-and-answer line: an answer ends the request, a request the answer).
    virtual bool Ends(Direction d) const = 0;

    static Piece Wait() { return {}; }
    static Piece Raw(size_t length, std::string meaning) {
        return {length, "raw", std::move(meaning), true};
    }

  private:
    static size_t Index(Direction d) { return d == Direction::ToInterface ? 0 : 1; }
    void Drain(Direction d, bool final, std::vector<Message>& out);

    std::string_view system_;
    std::vector<std::string_view> kinds_;
    std::string held_[2];
};

// The systems' decoders, each in its own source.
std::unique_ptr<Decoder> MakeSelectrixDecoder();
std::unique_ptr<Decoder> MakeLenzDecoder();
std::unique_ptr<Decoder> MakeIntelliboxDecoder();
std::unique_ptr<Decoder> MakeMarklinDecoder();
std::unique_ptr<Decoder> MakeDinamoDecoder();
std::unique_ptr<Decoder> MakeKaartDecoder();

} // namespace trace

#include "trace/SplitDecoder.h"

#include <cassert>
#include <utility>

namespace trace {

const char* DirectionName(Direction d) {
    return d == Direction::ToInterface ? "to-interface" : "from-interface";
}

SplitDecoder::SplitDecoder(std::string_view system, std::vector<std::string_view> kinds)
    : system_(system), kinds_(std::move(kinds)) {
    kinds_.push_back("raw");
}

std::vector<Message> SplitDecoder::Feed(Direction d, std::string_view bytes) {
    std::vector<Message> out;
    if (bytes.empty()) return out;
    Direction other =
        d == Direction::ToInterface ? Direction::FromInterface : Direction::ToInterface;
    if (Ends(d)) Drain(other, true, out);
    held_[Index(d)].append(bytes);
    Drain(d, false, out);
    return out;
}

std::vector<Message> SplitDecoder::Flush() {
    std::vector<Message> out;
    Drain(Direction::ToInterface, true, out);
    Drain(Direction::FromInterface, true, out);
    return out;
}

void SplitDecoder::Drain(Direction d, bool final, std::vector<Message>& out) {
    std::string& held = held_[Index(d)];
    size_t pos = 0;
    while (pos < held.size()) {
        std::string_view rest(held.data() + pos, held.size() - pos);
        Piece p = Cut(d, rest, final);
        if (p.length == 0) {
            if (!final) break;
            p = Raw(rest.size(), "incomplete message (" + std::to_string(rest.size()) +
                                     (rest.size() == 1 ? " byte)" : " bytes)"));
        }
        assert(p.length <= rest.size());
        if (p.length > rest.size()) p.length = rest.size();
        out.push_back(Message{d, std::string(rest.substr(0, p.length)), std::move(p.kind),
                              std::move(p.meaning), p.ok});
        pos += p.length;
    }
    held.erase(0, pos);
}

const std::vector<std::string_view>& SystemNames() {
    static const std::vector<std::string_view> names{"selectrix", "lenz",   "intellibox",
                                                     "marklin",   "dinamo", "kaart"};
    return names;
}

std::unique_ptr<Decoder> MakeDecoder(std::string_view system) {
    if (system == "selectrix") return MakeSelectrixDecoder();
    if (system == "lenz") return MakeLenzDecoder();
    if (system == "intellibox") return MakeIntelliboxDecoder();
    if (system == "marklin") return MakeMarklinDecoder();
    if (system == "dinamo") return MakeDinamoDecoder();
    if (system == "kaart") return MakeKaartDecoder();
    return nullptr;
}

} // namespace trace

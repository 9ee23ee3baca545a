// One fuzz input through a line-traffic decoder. Shared by the fuzz targets (one per system)
// and by the test that replays their committed corpora.
//
// Input: a run of chunks, each a control byte (bit 0: the direction, 1 = from the interface;
// bits 1..7: the chunk's length - 1) and that many bytes (fewer at the end). Each chunk is fed
// from a buffer of exactly its size, so a read past it trips AddressSanitizer. Then the decoder
// is flushed.
//
// Invariants: every byte fed comes out in exactly one message of its direction, in order, and
// only once the decoder no longer holds it; the decoder holds at most kMaxHeld bytes of a
// direction between calls, nothing after the flush; every message has bytes, a meaning and a
// kind from the decoder's own list.
#pragma once

#include "trace/LineDecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trace_fuzz {

// "" when every invariant held, else what broke.
inline std::string OneInput(std::string_view system, const uint8_t* data, size_t size) {
    using trace::Direction;
    std::unique_ptr<trace::Decoder> decoder = trace::MakeDecoder(system);
    if (!decoder) return "no decoder for " + std::string(system);
    std::string fed[2], emitted[2];
    auto index = [](Direction d) { return d == Direction::ToInterface ? 0 : 1; };
    auto check = [&](const std::vector<trace::Message>& messages) -> std::string {
        for (const trace::Message& m : messages) {
            int i = index(m.direction);
            if (m.bytes.empty()) return "a message without bytes";
            if (m.meaning.empty()) return "a message without meaning (" + m.kind + ")";
            const auto& kinds = decoder->Kinds();
            if (std::find(kinds.begin(), kinds.end(), m.kind) == kinds.end())
                return "kind \"" + m.kind + "\" is not in the decoder's list";
            if (m.kind.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") !=
                std::string::npos)
                return "kind \"" + m.kind + "\" has characters a JSON value should not";
            size_t at = emitted[i].size();
            if (at + m.bytes.size() > fed[i].size() ||
                fed[i].compare(at, m.bytes.size(), m.bytes) != 0)
                return "message bytes differ from what was fed, at byte " + std::to_string(at);
            emitted[i] += m.bytes;
        }
        for (Direction d : {Direction::ToInterface, Direction::FromInterface}) {
            int i = index(d);
            if (fed[i].size() - emitted[i].size() != decoder->Held(d))
                return "held count does not match the bytes not yet emitted";
            if (decoder->Held(d) > trace::kMaxHeld) return "holds more than kMaxHeld bytes";
        }
        return "";
    };
    size_t pos = 0;
    while (pos < size) {
        uint8_t control = data[pos++];
        Direction d = (control & 1) ? Direction::FromInterface : Direction::ToInterface;
        size_t length = std::min<size_t>((control >> 1) + 1u, size - pos);
        if (length == 0) break;
        std::unique_ptr<char[]> chunk(new char[length]);
        std::copy(data + pos, data + pos + length, chunk.get());
        pos += length;
        fed[index(d)].append(chunk.get(), length);
        std::string broken = check(decoder->Feed(d, std::string_view(chunk.get(), length)));
        if (!broken.empty()) return broken;
    }
    std::string broken = check(decoder->Flush());
    if (!broken.empty()) return broken;
    for (int i = 0; i < 2; ++i)
        if (emitted[i] != fed[i]) return "the flush left bytes out";
    if (!decoder->Flush().empty()) return "a second flush emitted messages";
    return "";
}

} // namespace trace_fuzz

// Decoders of line traffic: the bytes of one system's serial line, cut into that system's
// messages and named, for traces a person or a script reads.
//
// A decoder is fed the bytes of each direction as they came, in any chunks, and keeps what a
// chunk leaves unfinished until the next one. It knows nothing of the component or the
// simulators: it follows the protocols' rules on its own, remembering only what the line itself
// tells (which address a read asked for, how many answer bytes a request calls for, the toggle
// of the last frame, the interface's reported version).
//
// Every byte fed comes out in exactly one message, in order: what does not decode is a "raw"
// message, never dropped. Bytes in one direction can finish what the other direction holds (an
// answer shows that the request before it is over), so a call may return messages of the other
// direction, always before those of its own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trace {

enum class Direction : uint8_t { ToInterface, FromInterface };

// "to-interface" or "from-interface".
const char* DirectionName(Direction d);

struct Message {
    Direction direction = Direction::ToInterface;
    std::string bytes;   // exactly as on the line, never empty
    std::string kind;    // short stable identifier, e.g. "sx.read", "lenz.bad-xor", "raw"
    std::string meaning; // short English text, e.g. "read address 12"
    bool ok = true;      // false when the message fails the line's own check (checksum, echo)
};

class Decoder {
  public:
    virtual ~Decoder() = default;

    // The system name the decoder was made for ("lenz", ...).
    virtual std::string_view System() const = 0;

    // The bytes of one direction as they came; returns the messages they complete.
    virtual std::vector<Message> Feed(Direction d, std::string_view bytes) = 0;

    // Everything still held, as messages (what is incomplete as "raw"), to-interface first.
    virtual std::vector<Message> Flush() = 0;

    // Number of bytes of a direction held back, not yet in any message. Never more than
    // kMaxHeld.
    virtual size_t Held(Direction d) const = 0;

    // Every kind this decoder can emit ("raw" included).
    virtual const std::vector<std::string_view>& Kinds() const = 0;
};

constexpr size_t kMaxHeld = 600;

// The systems that have a decoder: selectrix, lenz, intellibox, marklin, dinamo, kaart.
const std::vector<std::string_view>& SystemNames();

// A fresh decoder for a system named as in SystemNames(); nullptr for any other name.
std::unique_ptr<Decoder> MakeDecoder(std::string_view system);

} // namespace trace

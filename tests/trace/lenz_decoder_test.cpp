// Lenz messages in both directions as the trace names them, the XOR check and the hunt for the
// next message after a bad one.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

// A message with its XOR byte appended.
std::string M(std::initializer_list<int> bytes) {
    std::string s = Bytes(bytes);
    uint8_t x = 0;
    for (char c : s)
        x ^= static_cast<uint8_t>(c);
    return s + static_cast<char>(x);
}

const std::string kVersion36 = M({0x63, 0x21, 0x36, 0x00});
const std::string kAllOn = M({0x61, 0x01});

const std::vector<Row>& PcRows() {
    static const std::vector<Row> rows{
        {"power, version and feedback requests",
         {{To, M({0x21, 0x81}) + M({0x80}) + M({0x21, 0x21}) + M({0x42, 0x00, 0x80}) +
                   M({0x42, 0x07, 0x81})}},
         {{To, Bytes({0x21, 0x81, 0xA0}), "lenz.power-on", "power on (resume operations)"},
          {To, Bytes({0x80, 0x80}), "lenz.power-off", "power off (stop operations)"},
          {To, M({0x21, 0x21}), "lenz.version-request", "version request"},
          {To, M({0x42, 0x00, 0x80}), "lenz.feedback-request",
           "feedback request module 1 lower inputs"},
          {To, M({0x42, 0x07, 0x81}), "lenz.feedback-request",
           "feedback request module 8 upper inputs"}}},
        {"locomotive commands of the old form",
         {{To, M({0xB3, 0x03, 0x76, 0x00}) + M({0xB4, 0x03, 0x05, 0x05, 0x01})}},
         {{To, Bytes({0xB3, 0x03, 0x76, 0x00, 0xC6}), "lenz.loco-drive",
           "locomotive 3: speed code 22, forward, light on, F1-F4 0000"},
          {To, M({0xB4, 0x03, 0x05, 0x05, 0x01}), "lenz.loco-drive",
           "locomotive 3: speed code 5, backward, light off, F1-F4 1010, mode byte 1"}}},
        {"locomotive commands of version 3, every step mode",
         {{To, M({0xE4, 0x12, 0xC3, 0xE8, 0x96}) + M({0xE4, 0x20, 0xC3, 0xE8, 0x10}) +
                   M({0xE4, 0x10, 0x00, 0x05, 0x0B}) + M({0xE4, 0x11, 0x00, 0x05, 0x01}) +
                   M({0xE4, 0x13, 0x00, 0x05, 0x81})}},
         {{To, M({0xE4, 0x12, 0xC3, 0xE8, 0x96}), "lenz.loco-drive",
           "locomotive 1000: speed step 10 (28 steps), forward"},
          {To, M({0xE4, 0x20, 0xC3, 0xE8, 0x10}), "lenz.loco-functions",
           "locomotive 1000: light on, F1-F4 0000"},
          {To, M({0xE4, 0x10, 0x00, 0x05, 0x0B}), "lenz.loco-drive",
           "locomotive 5: speed step 10 (14 steps), backward"},
          {To, M({0xE4, 0x11, 0x00, 0x05, 0x01}), "lenz.loco-drive",
           "locomotive 5: emergency stop (27 steps), backward"},
          {To, M({0xE4, 0x13, 0x00, 0x05, 0x81}), "lenz.loco-drive",
           "locomotive 5: speed step 0 (128 steps), forward"}}},
        {"information requests, a turnout command and an unknown command",
         {{To, M({0xA1, 0x03}) + M({0x52, 0x02, 0x89}) + M({0x21, 0x22}) +
                   M({0xE4, 0x30, 0x00, 0x03, 0x00})}},
         {{To, M({0xA1, 0x03}), "lenz.loco-request",
           "locomotive information request, locomotive 3"},
          {To, M({0x52, 0x02, 0x89}), "lenz.turnout", "turnout command address byte 2 data 0x89"},
          {To, M({0x21, 0x22}), "lenz.unknown", "header 0x21 with 1 data byte(s), not decoded"},
          {To, M({0xE4, 0x30, 0x00, 0x03, 0x00}), "lenz.unknown",
           "header 0xE4 with 4 data byte(s), not decoded"}}},
        {"a version-3 request names the locomotive of its answer, once",
         {{To, M({0xE3, 0x00, 0xC3, 0xE8})},
          {From, M({0xE4, 0x02, 0x8B, 0x15, 0x00})},
          {From, M({0xE5, 0x03, 0x05, 0x00, 0x00, 0x00})}},
         {{To, M({0xE3, 0x00, 0xC3, 0xE8}), "lenz.loco-request",
           "locomotive information request (v3), locomotive 1000"},
          {From, M({0xE4, 0x02, 0x8B, 0x15, 0x00}), "lenz.loco-state",
           "locomotive 1000 (v3): forward, speed step 19, mode 2, light on, F1-F4 1010"},
          {From, M({0xE5, 0x03, 0x05, 0x00, 0x00, 0x00}), "lenz.loco-state",
           "locomotive ? (v3): backward, speed step 5, mode 3, light off, F1-F4 0000"}}},
    };
    return rows;
}

const std::vector<Row>& InterfaceRows() {
    static const std::vector<Row> rows{
        {"interface status answers",
         {{From, M({0x01, 0x04}) + M({0x01, 0x01}) + M({0x01, 0x02}) + M({0x01, 0x03}) +
                     M({0x01, 0x05}) + M({0x01, 0x07})}},
         {{From, M({0x01, 0x04}), "lenz.ok", "command accepted"},
          {From, M({0x01, 0x01}), "lenz.error",
           "error between interface and PC (the command is sent again)"},
          {From, M({0x01, 0x02}), "lenz.error", "error between interface and command station"},
          {From, M({0x01, 0x03}), "lenz.error", "unknown command"},
          {From, M({0x01, 0x05}), "lenz.error", "command station does not answer"},
          {From, M({0x01, 0x07}), "lenz.status", "interface status 0x07"}}},
        {"power broadcasts and the command station's own reports",
         {{From, M({0x61, 0x00}) + kAllOn + M({0x61, 0x81}) + M({0x61, 0x82}) + M({0x61, 0x02}) +
                     M({0x61, 0x03}) + M({0x81, 0x00})}},
         {{From, M({0x61, 0x00}), "lenz.emergency-off", "emergency off (track power off)"},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"},
          {From, M({0x61, 0x81}), "lenz.busy", "command station busy (the command is sent again)"},
          {From, M({0x61, 0x82}), "lenz.unsupported",
           "last command not supported by the command station"},
          {From, M({0x61, 0x02}), "lenz.service-mode",
           "service mode entry (track power off, programming track on)"},
          {From, M({0x61, 0x03}), "lenz.unknown", "header 0x61 with 1 data byte(s), not decoded"},
          {From, M({0x81, 0x00}), "lenz.emergency-stop", "emergency stop on a hand controller"}}},
        {"version answers, a two-digit minor version included",
         {{From, kVersion36 + M({0x62, 0x21, 0x3C}) + M({0x62, 0x22, 0x30})}},
         {{From, kVersion36, "lenz.version", "version 3.6"},
          {From, M({0x62, 0x21, 0x3C}), "lenz.version", "version 3.12"},
          {From, M({0x62, 0x22, 0x30}), "lenz.unknown",
           "header 0x62 with 2 data byte(s), not decoded"}}},
        {"feedback entries: module nibbles, turnout pairs, undefined types, none",
         {{From, M({0x42, 0x05, 0x53}) + M({0x44, 0x02, 0x25, 0x00, 0x40}) + M({0x42, 0x02, 0x60}) +
                     M({0x42, 0x02, 0x14}) + M({0x50})}},
         {{From, M({0x42, 0x05, 0x53}), "lenz.feedback",
           "feedback module 6 upper inputs 5x 6x 7- 8-"},
          {From, M({0x44, 0x02, 0x25, 0x00, 0x40}), "lenz.feedback",
           "turnouts 9 R, 10 R; feedback module 1 lower inputs 1- 2- 3- 4-"},
          {From, M({0x42, 0x02, 0x60}), "lenz.feedback",
           "feedback type 11 at address 3, not defined"},
          {From, M({0x42, 0x02, 0x14}), "lenz.feedback",
           "feedback type 00 at address 3, not defined"},
          {From, Bytes({0x50, 0x50}), "lenz.feedback", "feedback without entries"}}},
        {"from version 3 on, feedback type 00 is a turnout pair",
         {{From, kVersion36 + M({0x42, 0x02, 0x14})}},
         {{From, kVersion36, "lenz.version", "version 3.6"},
          {From, M({0x42, 0x02, 0x14}), "lenz.feedback",
           "turnouts 11 A, 12 R (without feedback)"}}},
        {"locomotive states before version 3, and taken over by hand",
         {{From, M({0x83, 0x03, 0x76, 0x00}) + M({0xA4, 0x03, 0x05, 0x01, 0x00}) +
                     M({0x84, 0x04, 0x41, 0x00, 0x02}) + M({0xE3, 0x40, 0x00, 0x03})}},
         {{From, M({0x83, 0x03, 0x76, 0x00}), "lenz.loco-state",
           "locomotive 3: forward, light on, speed step 10, functions 0x00"},
          {From, M({0xA4, 0x03, 0x05, 0x01, 0x00}), "lenz.loco-hand",
           "locomotive 3 on a hand controller: backward, light off, speed step 4, functions 0x01"},
          {From, M({0x84, 0x04, 0x41, 0x00, 0x02}), "lenz.loco-state",
           "locomotive 4: forward, light off, emergency stop, functions 0x00"},
          {From, M({0xE3, 0x40, 0x00, 0x03}), "lenz.loco-hand",
           "locomotive 3 taken over by another device (v3)"}}},
        {"an undefined header with a good XOR byte is skipped by its length",
         {{From, M({0x75, 0x01, 0x02, 0x03, 0x04, 0x05}) + kAllOn}},
         {{From, M({0x75, 0x01, 0x02, 0x03, 0x04, 0x05}), "lenz.unknown",
           "header 0x75 with 5 data byte(s), not decoded"},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"}}},
        {"a message split between chunks is one message",
         {{From, Bytes({0x42, 0x05})}, {From, Bytes({0x53, 0x14})}},
         {{From, Bytes({0x42, 0x05, 0x53, 0x14}), "lenz.feedback",
           "feedback module 6 upper inputs 5x 6x 7- 8-"}}},
        {"an incomplete message at the flush",
         {{From, Bytes({0x42, 0x05})}},
         {{From, Bytes({0x42, 0x05}), "raw", "incomplete message (2 of 4 bytes)"}}},
    };
    return rows;
}

const std::vector<Row>& BadXorRows() {
    static const std::vector<Row> rows{
        {"a bad XOR byte, then the next message",
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}) + kAllOn}},
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0x14 after header 0x42", false},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"}}},
        {"the next message starts inside the bad one",
         {{From, Bytes({0x42, 0x05}) + kAllOn}},
         {{From, Bytes({0x42, 0x05}), "lenz.bad-xor",
           "XOR byte 0x01 instead of 0x26 after header 0x42; 2 byte(s) up to the next message",
           false},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"}}},
        {"the hunt goes on over chunks: skipped bytes, then a start that needs more",
         {{From, Bytes({0x42, 0x05, 0x53, 0x00})},
          {From, Bytes({0x07, 0x08})},
          {From, kAllOn.substr(0, 1)},
          {From, kAllOn.substr(1)}},
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0x14 after header 0x42", false},
          {From, Bytes({0x07, 0x08}), "raw", "skipped 2 byte(s) looking for a message"},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"}}},
        {"before version 3 a version-3 header is no start for the hunt",
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}) + M({0xE3, 0x40, 0x00, 0x03}) + kAllOn}},
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}) + M({0xE3, 0x40, 0x00, 0x03}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0x14 after header 0x42; 9 byte(s) up to the next message",
           false},
          {From, kAllOn, "lenz.all-on", "all on (normal operation)"}}},
        {"from version 3 on it is",
         {{From, kVersion36 + Bytes({0x42, 0x05, 0x53, 0x00}) + M({0xE3, 0x40, 0x00, 0x03})}},
         {{From, kVersion36, "lenz.version", "version 3.6"},
          {From, Bytes({0x42, 0x05, 0x53, 0x00}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0x14 after header 0x42", false},
          {From, M({0xE3, 0x40, 0x00, 0x03}), "lenz.loco-hand",
           "locomotive 3 taken over by another device (v3)"}}},
        {"the PC's direction hunts with the PC's headers",
         {{To, Bytes({0x21, 0x81, 0x00, 0x55}) + M({0x80})}},
         {{To, Bytes({0x21, 0x81, 0x00, 0x55}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0xA0 after header 0x21; 4 byte(s) up to the next message",
           false},
          {To, M({0x80}), "lenz.power-off", "power off (stop operations)"}}},
        {"a hunt that finds nothing leaves the rest at the flush",
         {{From, Bytes({0x42, 0x05, 0x53, 0x00})}, {From, Bytes({0x61, 0x01})}},
         {{From, Bytes({0x42, 0x05, 0x53, 0x00}), "lenz.bad-xor",
           "XOR byte 0x00 instead of 0x14 after header 0x42", false},
          {From, Bytes({0x61, 0x01}), "raw", "skipped 2 byte(s) looking for a message"}}},
    };
    return rows;
}

std::vector<Row> AllRows() {
    std::vector<Row> all = PcRows();
    all.insert(all.end(), InterfaceRows().begin(), InterfaceRows().end());
    all.insert(all.end(), BadXorRows().begin(), BadXorRows().end());
    return all;
}

TEST(LenzDecoder, DecodesThePcsCommands) {
    ExpectRows("lenz", PcRows());
}

TEST(LenzDecoder, DecodesAnswersAndBroadcasts) {
    ExpectRows("lenz", InterfaceRows());
}

TEST(LenzDecoder, MarksBadXorAndFindsTheNextMessage) {
    ExpectRows("lenz", BadXorRows());
}

TEST(LenzDecoder, TablesShowEveryKind) {
    ExpectEveryKind("lenz", AllRows());
}

} // namespace

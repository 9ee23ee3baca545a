// DINAMO frames as the trace names them: the check byte, status bits, reports and the toggle.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

// A frame built by hand: header (data count, toggle, hold/fault bits), data, check byte.
std::string F(std::initializer_list<int> data, int toggle = 0, int statusBits = 0) {
    std::string f(1, static_cast<char>(data.size() | (toggle ? 0x40 : 0) | statusBits));
    f += Bytes(data);
    unsigned sum = 0;
    for (char c : f)
        sum += static_cast<uint8_t>(c);
    return f + static_cast<char>(((128 - sum % 128) % 128) | 0x80);
}

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows{
        {"the PC's frames: empty, the fault reset, a command, a resend",
         {{To, Bytes({0x00, 0x80})},
          {To, Bytes({0x41, 0x94, 0xAB})},
          {To, F({0x21, 0x05})},
          {To, F({0x21, 0x05})}},
         {{To, Bytes({0x00, 0x80}), "dinamo.poll", "empty frame, toggle 0"},
          {To, Bytes({0x41, 0x94, 0xAB}), "dinamo.reset-fault", "fault reset, toggle 1"},
          {To, F({0x21, 0x05}), "dinamo.command", "command 0x21 0x05, toggle 0"},
          {To, F({0x21, 0x05}), "dinamo.command",
           "command 0x21 0x05, toggle 0, resent (same toggle as the frame before)"}}},
        {"status and reports from the DINAMO",
         {{From, Bytes({0x00, 0x80})},
          {From, Bytes({0x31, 0x05, 0xCA})},
          {From, F({0x06, 0x04}, 1)},
          {From, F({0x03, 0x89})},
          {From, F({0x42, 0x09}, 0, 0x10)}},
         {{From, Bytes({0x00, 0x80}), "dinamo.status", "hold off, fault off, toggle 0"},
          {From, Bytes({0x31, 0x05, 0xCA}), "dinamo.occupancy",
           "occupancy input 1 free; hold on, fault on, toggle 0"},
          {From, F({0x06, 0x04}, 1), "dinamo.occupancy",
           "occupancy input 5 occupied; hold off, fault off, toggle 1"},
          {From, F({0x03, 0x89}), "dinamo.magnet",
           "magnet 10 state 1; hold off, fault off, toggle 0"},
          {From, F({0x42, 0x09}, 0, 0x10), "dinamo.block",
           "block 3 value 9; hold on, fault off, toggle 0"}}},
        {"reports that are not decoded",
         {{From, F({0x05, 0x01, 0x02})}, {From, F({0x10})}},
         {{From, F({0x05, 0x01, 0x02}), "dinamo.report",
           "report 0x05 0x01 0x02, not decoded; hold off, fault off, toggle 0"},
          {From, F({0x10}), "dinamo.report",
           "report 0x10, not decoded; hold off, fault off, toggle 0"}}},
        {"a wrong check byte loses the frame as a whole",
         {{From, Bytes({0x01, 0x94, 0xEC, 0x00, 0x80})}},
         {{From, Bytes({0x01, 0x94, 0xEC}), "dinamo.bad-check", "check byte 0xEC instead of 0xEB",
           false},
          {From, Bytes({0x00, 0x80}), "dinamo.status", "hold off, fault off, toggle 0"}}},
        {"bytes with bit 7 set where a header belongs are skipped together",
         {{From, Bytes({0xFF, 0x80, 0x00, 0x80})}},
         {{From, Bytes({0xFF, 0x80}), "raw", "skipped 2 byte(s) with bit 7 set"},
          {From, Bytes({0x00, 0x80}), "dinamo.status", "hold off, fault off, toggle 0"}}},
        {"a frame split between chunks, and an incomplete one at the flush",
         {{From, Bytes({0x31})}, {From, Bytes({0x05, 0xCA, 0x02, 0x03})}},
         {{From, Bytes({0x31, 0x05, 0xCA}), "dinamo.occupancy",
           "occupancy input 1 free; hold on, fault on, toggle 0"},
          {From, Bytes({0x02, 0x03}), "raw", "incomplete frame (2 of 4 bytes)"}}},
        {"an answer ends the PC's incomplete frame, not the other way round",
         {{To, Bytes({0x01, 0x94})},
          {From, Bytes({0x00})},
          {To, Bytes({0x40, 0xC0})},
          {From, Bytes({0x80})}},
         {{To, Bytes({0x01, 0x94}), "raw", "incomplete frame (2 of 3 bytes)"},
          {To, Bytes({0x40, 0xC0}), "dinamo.poll", "empty frame, toggle 1"},
          {From, Bytes({0x00, 0x80}), "dinamo.status", "hold off, fault off, toggle 0"}}},
    };
    return rows;
}

TEST(DinamoDecoder, DecodesFramesBothWays) {
    ExpectRows("dinamo", Rows());
}

TEST(DinamoDecoder, TableShowsEveryKind) {
    ExpectEveryKind("dinamo", Rows());
}

} // namespace

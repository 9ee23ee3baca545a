// Selectrix requests and answers as the trace names them.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows{
        {"a read and its answer",
         {{To, Bytes({0x0C, 0x20})}, {From, Bytes({0x05})}},
         {{To, Bytes({0x0C, 0x20}), "sx.read", "read address 12"},
          {From, Bytes({0x05}), "sx.answer", "address 12 holds 0x05 = 00000101"}}},
        {"track power on, off, and the central unit's answers",
         {{To, Bytes({0xFF, 0xFF})},
          {To, Bytes({0xFF, 0x00})},
          {To, Bytes({0x7F, 0x20})},
          {From, Bytes({0x80})},
          {To, Bytes({0x7F, 0x20})},
          {From, Bytes({0x00})}},
         {{To, Bytes({0xFF, 0xFF}), "sx.power", "track power on"},
          {To, Bytes({0xFF, 0x00}), "sx.power", "track power off"},
          {To, Bytes({0x7F, 0x20}), "sx.read", "read address 127 (central unit: track power)"},
          {From, Bytes({0x80}), "sx.answer", "central unit 0x80: track power on"},
          {To, Bytes({0x7F, 0x20}), "sx.read", "read address 127 (central unit: track power)"},
          {From, Bytes({0x00}), "sx.answer", "central unit 0x00: track power off"}}},
        {"another value written to the central unit",
         {{To, Bytes({0xFF, 0x12})}},
         {{To, Bytes({0xFF, 0x12}), "sx.power", "write central unit register 0x12"}}},
        {"a locomotive write",
         {{To, Bytes({0x83, 0x6A})}, {To, Bytes({0x80, 0xC0})}},
         {{To, Bytes({0x83, 0x6A}), "sx.write",
           "write address 3 value 0x6A = 01101010 (as locomotive: speed 10, backward, light on, "
           "function off)"},
          {To, Bytes({0x80, 0xC0}), "sx.write",
           "write address 0 value 0xC0 = 11000000 (as locomotive: speed 0, forward, light on, "
           "function on)"}}},
        {"programming registers and system addresses are named",
         {{To, Bytes({0xEA, 0x40})}, {To, Bytes({0x6D, 0x20})}, {To, Bytes({0x70, 0x20})}},
         {{To, Bytes({0xEA, 0x40}), "sx.write",
           "write address 106 (programming control) value 0x40 = 01000000"},
          {To, Bytes({0x6D, 0x20}), "sx.read", "read address 109 (programming status)"},
          {To, Bytes({0x70, 0x20}), "sx.read", "read address 112 (system address)"}}},
        {"a read whose filler is not 0x20",
         {{To, Bytes({0x68, 0x21})}},
         {{To, Bytes({0x68, 0x21}), "sx.read",
           "read address 104 (programming data), filler 0x21 instead of 0x20"}}},
        {"a request split between chunks",
         {{To, Bytes({0x0C})}, {To, Bytes({0x20, 0x8C})}, {To, Bytes({0x01})}},
         {{To, Bytes({0x0C, 0x20}), "sx.read", "read address 12"},
          {To, Bytes({0x8C, 0x01}), "sx.write",
           "write address 12 value 0x01 = 00000001 (as locomotive: speed 1, forward, light off, "
           "function off)"}}},
        {"the last of two reads names the answer",
         {{To, Bytes({0x0C, 0x20, 0x0D, 0x20})}, {From, Bytes({0x07})}},
         {{To, Bytes({0x0C, 0x20}), "sx.read", "read address 12"},
          {To, Bytes({0x0D, 0x20}), "sx.read", "read address 13"},
          {From, Bytes({0x07}), "sx.answer", "address 13 holds 0x07 = 00000111"}}},
        {"bytes without a read request, and a second byte after the answer",
         {{From, Bytes({0x05, 0x06})}, {To, Bytes({0x01, 0x20})}, {From, Bytes({0x01, 0x02})}},
         {{From, Bytes({0x05, 0x06}), "raw", "2 byte(s) without a read request"},
          {To, Bytes({0x01, 0x20}), "sx.read", "read address 1"},
          {From, Bytes({0x01}), "sx.answer", "address 1 holds 0x01 = 00000001"},
          {From, Bytes({0x02}), "raw", "1 byte(s) without a read request"}}},
        {"an answer ends a lone request byte, so the next request pairs up again",
         {{To, Bytes({0x0C})}, {From, Bytes({0x05})}, {To, Bytes({0x0D, 0x20})}},
         {{To, Bytes({0x0C}), "raw", "incomplete request (0x0C alone)"},
          {From, Bytes({0x05}), "raw", "1 byte(s) without a read request"},
          {To, Bytes({0x0D, 0x20}), "sx.read", "read address 13"}}},
        {"a lone byte at the flush",
         {{To, Bytes({0x8C})}},
         {{To, Bytes({0x8C}), "raw", "incomplete request (0x8C alone)"}}},
    };
    return rows;
}

TEST(SelectrixDecoder, DecodesRequestsAndAnswers) {
    ExpectRows("selectrix", Rows());
}

TEST(SelectrixDecoder, TableShowsEveryKind) {
    ExpectEveryKind("selectrix", Rows());
}

} // namespace

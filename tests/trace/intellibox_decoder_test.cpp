// Intellibox traffic as the trace names it: P50X text and binary commands with their answers,
// the x prefix of mixed mode, and the P50 commands bare and wrapped.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows{
        {"a text locomotive command in mixed mode and its text answer",
         {{To, "xL3,48,1,0,0,0,0,0\r"}, {From, "Ok\r"}, {From, "]"}},
         {{To, "xL3,48,1,0,0,0,0,0\r", "ib.loco-text",
           "locomotive 3: speed value 48, light on, backward, F1-F4 0000 (x prefix)"},
          {From, "Ok\r]", "ib.text-answer", "answer to \"L3,48,1,0,0,0,0,0\": \"Ok\\r\""}}},
        {"baud rate, mode probe and other text commands",
         {{To, "B19200\r"},
          {From, "19200]"},
          {To, "RT10\r"},
          {From, "RS-232 CTS on]"},
          {To, "L3,48,2,0,0,0,0,0\r"},
          {To, "X\r"},
          {From, "ab"}},
         {{To, "B19200\r", "ib.baud", "switch to 19200 baud"},
          {From, "19200]", "ib.text-answer", "answer to \"B19200\": \"19200\""},
          {To, "RT10\r", "ib.text", "text command \"RT10\""},
          {From, "RS-232 CTS on]", "ib.text-answer", "answer to \"RT10\": \"RS-232 CTS on\""},
          {To, "L3,48,2,0,0,0,0,0\r", "ib.text", "text command \"L3,48,2,0,0,0,0,0\""},
          {To, "X\r", "ib.mode-probe", "mode probe"},
          {From, "ab", "ib.text-answer", "answer to \"X\" without \"]\": \"ab\""}}},
        {"the next command ends an answer that has no \"]\"",
         {{To, "ZzA0\r"}, {From, "ab"}, {To, Bytes({0xC4})}, {From, Bytes({0x00})}},
         {{To, "ZzA0\r", "ib.text", "text command \"ZzA0\""},
          {From, "ab", "ib.text-answer", "answer to \"ZzA0\" without \"]\": \"ab\""},
          {To, Bytes({0xC4}), "ib.probe", "probe"},
          {From, Bytes({0x00}), "ib.reply", "answer to probe: 0x00 ok"}}},
        {"binary commands and their reply codes",
         {{To, Bytes({0x78, 0xA7})},
          {From, Bytes({0x06})},
          {To, Bytes({0xA6})},
          {From, Bytes({0x42})},
          {To, Bytes({0x99})},
          {From, Bytes({0x05})}},
         {{To, Bytes({0x78, 0xA7}), "ib.power-on", "power on (x prefix)"},
          {From, Bytes({0x06}), "ib.reply", "answer to power on: 0x06 power is off"},
          {To, Bytes({0xA6}), "ib.power-off", "power off"},
          {From, Bytes({0x42}), "ib.reply",
           "answer to power off: 0x42 accepted, but the Intellibox has power off"},
          {To, Bytes({0x99}), "ib.sensor", "sensor command 0x99"},
          {From, Bytes({0x05}), "ib.reply", "answer to sensor command: 0x05 code not defined"}}},
        {"the binary locomotive command, split between chunks",
         {{To, Bytes({0x80, 0x03})}, {To, Bytes({0x00, 0x30, 0xF5})}, {From, Bytes({0x08})}},
         {{To, Bytes({0x80, 0x03, 0x00, 0x30, 0xF5}), "ib.loco",
           "locomotive 3: speed value 48, forward, light on, F1-F4 1010"},
          {From, Bytes({0x08}), "ib.reply",
           "answer to locomotive 3: 0x08 no room in the locomotive command buffer, try again"}}},
        {"P50 commands bare (mixed mode) get no answer",
         {{To, Bytes({0x60, 0x17, 0x03, 0x0F, 0x03, 0x2A, 0x03, 0x61})}, {From, Bytes({0x00})}},
         {{To, Bytes({0x60}), "ib.p50-power", "P50 power on"},
          {To, Bytes({0x17, 0x03}), "ib.p50-loco", "P50 locomotive 3: speed 7, light on"},
          {To, Bytes({0x0F, 0x03}), "ib.p50-loco", "P50 locomotive 3: change direction, light off"},
          {To, Bytes({0x2A, 0x03}), "ib.p50-loco", "P50 locomotive 3: speed byte 0x2A"},
          {To, Bytes({0x61}), "ib.p50-power", "P50 power off"},
          {From, Bytes({0x00}), "raw", "1 byte(s) without a request"}}},
        {"P50 commands wrapped for the P50X-only mode",
         {{To, Bytes({0xC6, 0x61, 0xC7, 0x17, 0x03, 0xC6, 0x55})}},
         {{To, Bytes({0xC6, 0x61}), "ib.p50-power", "P50 power off (wrapped)"},
          {To, Bytes({0xC7, 0x17, 0x03}), "ib.p50-loco",
           "P50 locomotive 3: speed 7, light on (wrapped)"},
          {To, Bytes({0xC6, 0x55}), "ib.p50", "P50 command 0x55 (wrapped)"}}},
        {"an unknown binary command expects no reply",
         {{To, Bytes({0xF0})}, {From, Bytes({0x01, 0x02})}},
         {{To, Bytes({0xF0}), "ib.binary", "binary command 0xF0, not decoded"},
          {From, Bytes({0x01, 0x02}), "raw", "2 byte(s) without a request"}}},
        {"an answer ends an incomplete binary command",
         {{To, Bytes({0x80, 0x03})}, {From, Bytes({0x00})}},
         {{To, Bytes({0x80, 0x03}), "raw", "incomplete binary command 0x80"},
          {From, Bytes({0x00}), "raw", "1 byte(s) without a request"}}},
        {"what is incomplete at the flush",
         {{To, "L3,1"}},
         {{To, "L3,1", "raw", "text without CR \"L3,1\""}}},
        {"a lone prefix at the flush", {{To, "x"}}, {{To, "x", "raw", "\"x\" without a command"}}},
        {"a lone P50 byte at the flush",
         {{To, Bytes({0x17})}},
         {{To, Bytes({0x17}), "raw", "incomplete P50 command"}}},
        {"a line that never ends is not held for ever",
         {{To, std::string(300, 'A')}},
         {{To, std::string(300, 'A'), "raw",
           "text without CR \"" + std::string(60, 'A') + "...\""}}},
    };
    return rows;
}

TEST(IntelliboxDecoder, DecodesCommandsAndAnswers) {
    ExpectRows("intellibox", Rows());
}

TEST(IntelliboxDecoder, TableShowsEveryKind) {
    ExpectEveryKind("intellibox", Rows());
}

} // namespace

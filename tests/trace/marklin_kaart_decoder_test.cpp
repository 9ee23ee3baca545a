// The Märklin interface and the serial card: requests that name how many answer bytes follow.
#include "DecoderRun.h"

namespace {

using namespace tracetest;

const std::vector<Row>& MarklinRows() {
    static const std::vector<Row> rows{
        {"power, locomotive and function commands",
         {{To, Bytes({0x60, 0x17, 0x18, 0x0F, 0x18, 0x45, 0x18, 0x61})}},
         {{To, Bytes({0x60}), "marklin.power-on", "power on"},
          {To, Bytes({0x17, 0x18}), "marklin.loco", "locomotive 24: speed 7, light on"},
          {To, Bytes({0x0F, 0x18}), "marklin.loco", "locomotive 24: change direction, light off"},
          {To, Bytes({0x45, 0x18}), "marklin.functions",
           "locomotive 24: function byte 0x45, F1-F4 1010"},
          {To, Bytes({0x61}), "marklin.power-off", "power off"}}},
        {"modules 1 to n answer two bytes each, over chunks",
         {{To, Bytes({0x83})},
          {From, Bytes({0x80, 0x01, 0x00})},
          {From, Bytes({0x00, 0xFF, 0x00})}},
         {{To, Bytes({0x83}), "marklin.feedback-request", "read feedback modules 1 to 3"},
          {From, Bytes({0x80, 0x01}), "marklin.feedback", "feedback module 1: 10000000 00000001"},
          {From, Bytes({0x00, 0x00}), "marklin.feedback", "feedback module 2: 00000000 00000000"},
          {From, Bytes({0xFF, 0x00}), "marklin.feedback", "feedback module 3: 11111111 00000000"}}},
        {"one module, and bytes beyond its answer",
         {{To, Bytes({0xC3})}, {From, Bytes({0x12})}, {From, Bytes({0x34, 0x56})}},
         {{To, Bytes({0xC3}), "marklin.feedback-request", "read feedback module 3"},
          {From, Bytes({0x12, 0x34}), "marklin.feedback", "feedback module 3: 00010010 00110100"},
          {From, Bytes({0x56}), "raw", "1 byte(s) without a request"}}},
        {"the next command ends a short answer",
         {{To, Bytes({0x81})}, {From, Bytes({0x12})}, {To, Bytes({0x60})}},
         {{To, Bytes({0x81}), "marklin.feedback-request", "read feedback module 1"},
          {From, Bytes({0x12}), "raw", "incomplete answer of module 1 (1 of 2 bytes)"},
          {To, Bytes({0x60}), "marklin.power-on", "power on"}}},
        {"bytes that are no command, one at a time",
         {{To, Bytes({0x25, 0x80, 0xA0, 0xC0, 0xE0})}},
         {{To, Bytes({0x25}), "raw", "byte 0x25 is no command"},
          {To, Bytes({0x80}), "raw", "byte 0x80 is no command"},
          {To, Bytes({0xA0}), "raw", "byte 0xA0 is no command"},
          {To, Bytes({0xC0}), "raw", "byte 0xC0 is no command"},
          {To, Bytes({0xE0}), "raw", "byte 0xE0 is no command"}}},
        {"a split locomotive command, and a lone first byte at the flush",
         {{To, Bytes({0x17})}, {To, Bytes({0x18, 0x07})}},
         {{To, Bytes({0x17, 0x18}), "marklin.loco", "locomotive 24: speed 7, light on"},
          {To, Bytes({0x07}), "raw", "incomplete locomotive command"}}},
    };
    return rows;
}

const std::vector<Row>& KaartRows() {
    static const std::vector<Row> rows{
        {"the configuration byte and its echo",
         {{To, Bytes({0x0F})}, {From, Bytes({0x0F})}},
         {{To, Bytes({0x0F}), "kaart.config",
           "configuration 0x0F: options 0 1 2 111, option 4 off, then 19200 baud"},
          {From, Bytes({0x0F}), "kaart.echo", "configuration 0x0F echoed"}}},
        {"a wrong echo fails the card's check",
         {{To, Bytes({0x07})}, {From, Bytes({0x05})}},
         {{To, Bytes({0x07}), "kaart.config",
           "configuration 0x07: options 0 1 2 111, option 4 off, stays at 9600 baud"},
          {From, Bytes({0x05}), "kaart.bad-echo", "echo 0x05 differs from configuration 0x07",
           false}}},
        {"feedback requests of both module ranges and both forms, with their answers",
         {{To, Bytes({0x86, 0x71})},
          {From, Bytes({0x00})},
          {From, Bytes({0xA5})},
          {To, Bytes({0x80, 0x45})}},
         {{To, Bytes({0x86, 0x71}), "kaart.feedback-request",
           "feedback request module 70, request value 1 (+0x50)"},
          {From, Bytes({0x00, 0xA5}), "kaart.feedback",
           "module 70 feedback 0xA5 = 10100101 (first byte 0x00)"},
          {To, Bytes({0x80, 0x45}), "kaart.feedback-request",
           "feedback request module 0, request value 5 (+0x40)"}}},
        {"a lone 0x80 is the connection test, ended by its answer",
         {{To, Bytes({0x80})}, {From, Bytes({0x33})}},
         {{To, Bytes({0x80}), "kaart.test", "connection test"},
          {From, Bytes({0x33}), "kaart.test-answer", "connection test answer 0x33"}}},
        {"0x80 followed by what cannot be a second byte",
         {{To, Bytes({0x80, 0x10})}},
         {{To, Bytes({0x80}), "kaart.test", "connection test"},
          {To, Bytes({0x10}), "kaart.config",
           "configuration 0x10: options 0 1 2 000, option 4 on, stays at 9600 baud"}}},
        {"a short feedback answer at the flush",
         {{To, Bytes({0x85, 0x40})}, {From, Bytes({0x85})}},
         {{To, Bytes({0x85, 0x40}), "kaart.feedback-request",
           "feedback request module 5, request value 0 (+0x40)"},
          {From, Bytes({0x85}), "raw", "incomplete answer of module 5 (1 of 2 bytes)"}}},
        {"bytes that are no request, and a request without its second byte",
         {{To, Bytes({0x25, 0xC5, 0x85, 0x07})}, {To, Bytes({0x86})}},
         {{To, Bytes({0x25}), "raw", "byte 0x25 is no request"},
          {To, Bytes({0xC5}), "raw", "byte 0xC5 is no request"},
          {To, Bytes({0x85}), "raw", "feedback request 0x85 without its second byte"},
          {To, Bytes({0x07}), "kaart.config",
           "configuration 0x07: options 0 1 2 111, option 4 off, stays at 9600 baud"},
          {To, Bytes({0x86}), "raw", "incomplete feedback request"}}},
        {"bytes without a request",
         {{From, Bytes({0x01})}},
         {{From, Bytes({0x01}), "raw", "1 byte(s) without a request"}}},
    };
    return rows;
}

TEST(MarklinDecoder, DecodesCommandsAndFeedbackAnswers) {
    ExpectRows("marklin", MarklinRows());
}

TEST(MarklinDecoder, TableShowsEveryKind) {
    ExpectEveryKind("marklin", MarklinRows());
}

TEST(KaartDecoder, DecodesConfigurationRequestsAndAnswers) {
    ExpectRows("kaart", KaartRows());
}

TEST(KaartDecoder, TableShowsEveryKind) {
    ExpectEveryKind("kaart", KaartRows());
}

} // namespace

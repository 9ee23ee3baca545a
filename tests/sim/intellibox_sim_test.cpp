// The simulated Intellibox: its framing per mode and its answers (model), and the transport's
// rate rule, pacing and records over a real pseudo-terminal.
#include "platform/Tick.h"
#include "sim/IntelliboxSim.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace sim;

namespace {

using testsupport::Bytes;

} // namespace

TEST(IntelliboxModel, ModeProbeAndProbeAnswersPerMode) {
    struct Case {
        IBMode mode;
        std::string probe, modeProbe;
    } cases[] = {
        {IBMode::Mixed, Bytes({0, 0}), "?]"}, // bare 0xC4 is a P50 module read
        {IBMode::P50XOnly, Bytes({0, 1}), "Unknown command]"},
        {IBMode::P50Only, Bytes({0, 0}), ""},
    };
    for (const Case& c : cases) {
        IntelliboxModel m(c.mode);
        EXPECT_EQ(m.Feed(Bytes({0xC4})), c.probe);
        EXPECT_EQ(m.Feed("X\r"), c.modeProbe);
    }
    IntelliboxModel one(IBMode::P50XOnly);
    one.SetProbeAnswerBytes(1);
    EXPECT_EQ(one.Feed(Bytes({0xC4})), Bytes({0}));
    one.SetModeProbeAnswer(std::string(100, 'a'));
    EXPECT_EQ(one.Feed("X\r").size(), 100u);
    EXPECT_EQ(one.Feed("RT10\r"), "RS-232 CTS ok]");
}

TEST(IntelliboxModel, FramingIsRecordedAsReceived) {
    IntelliboxModel m(IBMode::Mixed);
    std::vector<IBCommand> got;
    // A P50X binary command split over two chunks, then P50 bare, text and a P50 read.
    EXPECT_EQ(m.Feed(Bytes({'x', 0x80, 3}), &got), "");
    EXPECT_EQ(m.Feed(Bytes({0, 48, 0xF1}), &got), Bytes({0}));
    EXPECT_EQ(m.Feed(Bytes({26, 5, 0x60}), &got), "");
    EXPECT_EQ(m.Feed("xL7,124,0,1,0,0,0,1\r", &got), "Ok]");
    m.SetFeedback(2, 0x1234);
    EXPECT_EQ(m.Feed(Bytes({0x82}), &got), Bytes({0, 0, 0x12, 0x34}));
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].kind, IBKind::P50XBinary);
    EXPECT_EQ(got[0].bytes, Bytes({0x80, 3, 0, 48, 0xF1}));
    EXPECT_EQ(got[1].kind, IBKind::P50Bare);
    EXPECT_EQ(got[1].bytes, Bytes({26, 5}));
    EXPECT_EQ(got[2].bytes, Bytes({0x60}));
    EXPECT_EQ(got[3].kind, IBKind::P50XText);
    EXPECT_EQ(got[3].bytes, "L7,124,0,1,0,0,0,1");
    EXPECT_TRUE(m.Power());
    EXPECT_EQ(m.P50Locos().at(5), 26);
    const IBLoco& loc3 = m.Locos().at(3);
    EXPECT_EQ(loc3.speed, 48);
    EXPECT_TRUE(loc3.forward && loc3.light);
    EXPECT_EQ(loc3.functions, 1);
    EXPECT_EQ(m.Locos().at(7).functions, 8);

    IntelliboxModel x(IBMode::P50XOnly);
    got.clear();
    EXPECT_EQ(x.Feed(Bytes({0xC6, 0x61, 0xC7, 10, 80}), &got), "");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, IBKind::P50Wrapped);
    EXPECT_EQ(got[0].bytes, Bytes({0x61}));
    EXPECT_EQ(got[1].bytes, Bytes({10, 80}));
    EXPECT_EQ(x.P50Locos().at(80), 10);
}

TEST(IntelliboxModel, ReplyCodesRatesAndEndlessText) {
    IntelliboxModel m(IBMode::P50XOnly);
    m.SetNextReplyCode(8);
    EXPECT_EQ(m.Feed(Bytes({0xA7})), Bytes({8}));
    EXPECT_FALSE(m.Power());
    EXPECT_EQ(m.Feed(Bytes({0xA7})), Bytes({0})); // the switch was for one command
    EXPECT_TRUE(m.Power());
    m.SetReplyCode(6);
    EXPECT_EQ(m.Feed(Bytes({0xA6})), Bytes({6}));
    EXPECT_TRUE(m.Power());
    EXPECT_EQ(m.Feed("L3,10,0,0,0,0,0,0\r"), "Error 6]");
    EXPECT_TRUE(m.Locos().empty());
    EXPECT_EQ(m.Feed(Bytes({0x98, 2})), Bytes({6})); // sensor status refused: the code alone
    m.SetReplyCode(0);
    m.SetFeedback(2, 0x8001);
    EXPECT_EQ(m.Feed(Bytes({0x98, 2})), Bytes({0, 0x80, 0x01}));
    EXPECT_EQ(m.Feed(Bytes({0x98, 0})), Bytes({2}));
    EXPECT_EQ(m.Feed(Bytes({0x98, 32})), Bytes({2}));

    EXPECT_EQ(m.Feed("B14400\r"), "Error: baud rate]");
    EXPECT_EQ(m.Baud(), 2400u);
    EXPECT_EQ(m.Feed("B19200\r"), "Ok]");
    EXPECT_EQ(m.Baud(), 19200u);
    m.SetIgnoreBaudChange(true);
    EXPECT_EQ(m.Feed("B2400\r"), "Ok]");
    EXPECT_EQ(m.Baud(), 19200u);

    m.SetEndlessText(5000);
    EXPECT_EQ(m.Feed("RT10\r"), "");
    EXPECT_EQ(m.TakeEndlessText(), 5000u);
    EXPECT_EQ(m.TakeEndlessText(), 0u);
    EXPECT_EQ(m.Feed("RT10\r"), "RS-232 CTS ok]");

    m.SetSilent(true);
    EXPECT_EQ(m.Feed(Bytes({0xC4})), "");
    // Noise cuts a half command off.
    m.SetSilent(false);
    m.Feed(Bytes({0x80, 1}));
    m.Reset();
    EXPECT_EQ(m.Feed(Bytes({0xC4})), Bytes({0, 1}));
}

namespace {

int OpenAt(const std::string& path, speed_t speed) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CSTOPB | CLOCAL | CREAD;
    cfsetspeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void SetSpeed(int fd, speed_t speed) {
    termios t{};
    tcgetattr(fd, &t);
    cfsetspeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

// Reads until `n` bytes came or `ms` passed.
std::string ReadFor(int fd, size_t n, int ms) {
    std::string got;
    uint64_t end = platform::MicroNow() + static_cast<uint64_t>(ms) * 1000;
    while (got.size() < n) {
        uint64_t now = platform::MicroNow();
        if (now >= end) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>((end - now) / 1000) + 1) <= 0) continue;
        char buf[256];
        ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0) got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

} // namespace

TEST(IntelliboxSimPty, HearsOnlyAtItsRateAndPacesAnswers) {
    IntelliboxSim ib(IBMode::Mixed, 2400);
    int fd = OpenAt(ib.DevicePath(), B9600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ib.Line().baud, 9600u);
    EXPECT_TRUE(ib.Line().twoStopBits);

    ASSERT_EQ(write(fd, "xRT10\r", 6), 6);
    EXPECT_EQ(ReadFor(fd, 1, 150), "");
    ASSERT_TRUE(ib.WaitForReceived(6, 1000));
    for (const LineByte& r : ib.ReceivedBytes()) {
        EXPECT_EQ(r.baud, 9600u);
        EXPECT_FALSE(r.heard);
    }

    SetSpeed(fd, B2400);
    ib.ClearRecords();
    uint64_t t0 = platform::MicroNow();
    ASSERT_EQ(write(fd, "xRT10\r", 6), 6);
    EXPECT_EQ(ReadFor(fd, 14, 2000), "RS-232 CTS ok]");
    // Fourteen bytes of eleven bits at 2400 baud: about 64 ms on the line.
    EXPECT_GE(platform::MicroNow() - t0, 55000u);
    std::vector<LineByte> sent = ib.SentBytes();
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent.back().baud, 2400u);
    EXPECT_TRUE(ib.ReceivedBytes().front().heard);

    // "B19200" is answered at the old rate; then only 19200 is heard.
    ASSERT_EQ(write(fd, "xB19200\r", 8), 8);
    EXPECT_EQ(ReadFor(fd, 3, 2000), "Ok]");
    EXPECT_EQ(ib.Baud(), 19200u);
    ASSERT_EQ(write(fd, "xRT10\r", 6), 6);
    EXPECT_EQ(ReadFor(fd, 1, 150), "");
    SetSpeed(fd, B19200);
    ASSERT_EQ(write(fd, "xRT10\r", 6), 6);
    EXPECT_EQ(ReadFor(fd, 14, 2000), "RS-232 CTS ok]");

    // Noise at a wrong rate, when switched on.
    ib.SetNoiseAtWrongRate(true);
    SetSpeed(fd, B4800);
    ASSERT_EQ(write(fd, "\xC4", 1), 1);
    EXPECT_EQ(ReadFor(fd, 1, 1000), "\xFF");
    close(fd);
}

TEST(IntelliboxSimPty, EndlessTextStopsWhenSwitchedOff) {
    IntelliboxSim ib(IBMode::P50XOnly, 38400);
    ib.SetPacing(true);
    int fd = OpenAt(ib.DevicePath(), B38400);
    ib.SetEndlessText(SIZE_MAX);
    ASSERT_EQ(write(fd, "RT10\r", 5), 5);
    std::string got = ReadFor(fd, 300, 3000);
    EXPECT_GE(got.size(), 300u);
    EXPECT_EQ(got.find(']'), std::string::npos);
    ib.SetEndlessText(0);
    ReadFor(fd, 100000, 200); // what was already queued
    EXPECT_EQ(ReadFor(fd, 1, 100), "");
    close(fd);
}

// The line settings as the kernel gets them, and the decoding of received
// bytes: pure functions, because a pseudo-terminal forces 8 data bits
// without parity and cannot produce parity errors or breaks.
#include "serial/posix/PosixComDevice.h"

#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <string>

using namespace serial;

namespace {

Dcb Line(uint32_t baud = 9600) {
    Dcb d;
    d.BaudRate = baud;
    d.fBinary = true;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
}

// A current state with everything on that the mapping must clear.
TermiosImage Dirty() {
    TermiosImage t;
    t.c_iflag = ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR |
                BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ECHOE | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | B19200 | HUPCL;
    t.c_line = 3;
    return t;
}

TermiosImage Map(const Dcb& d, const TermiosImage& from = Dirty()) {
    TermiosImage out;
    EXPECT_EQ(DcbToTermios(d, from, out), 0);
    return out;
}

TEST(TermiosMapping, RawModeAndRate) {
    TermiosImage t = Map(Line(31250));
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<uint32_t>(BOTHER));
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "input follows the output rate";
    EXPECT_EQ(t.c_ospeed, 31250u);
    EXPECT_EQ(t.c_ispeed, 31250u);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_oflag & ONLCR, static_cast<uint32_t>(ONLCR)) << "harmless without OPOST";
    EXPECT_EQ(t.c_lflag & (ECHO | ECHOE | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<uint32_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_EQ(t.c_cflag & HUPCL, static_cast<uint32_t>(HUPCL)) << "bits not decided are kept";
    EXPECT_EQ(t.c_line, 3);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(TermiosMapping, CharacterFormat) {
    struct Case {
        uint8_t byteSize, parity, stopBits;
        uint32_t cflag;
    } cases[] = {
        {5, 0, 0, CS5},
        {6, 0, 0, CS6},
        {7, 0, 0, CS7},
        {8, 0, 0, CS8},
        {8, 1, 0, CS8 | PARENB | PARODD},
        {8, 2, 0, CS8 | PARENB},
        {7, 3, 0, CS7 | PARENB | PARODD | CMSPAR},
        {7, 4, 0, CS7 | PARENB | CMSPAR},
        {5, 0, 1, CS5 | CSTOPB}, // 1.5 stop bits
        {8, 0, 2, CS8 | CSTOPB},
    };
    const uint32_t mask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    for (auto c : cases) {
        Dcb d = Line();
        d.ByteSize = c.byteSize;
        d.Parity = c.parity;
        d.StopBits = c.stopBits;
        EXPECT_EQ(Map(d).c_cflag & mask, c.cflag)
            << int(c.byteSize) << "/" << int(c.parity) << "/" << int(c.stopBits);
    }
}

TEST(TermiosMapping, FlowControlAndChecking) {
    struct Case {
        const char* what;
        void (*set)(Dcb&);
        uint32_t cflag, iflag;
    } cases[] = {
        {"none", [](Dcb&) {}, 0, 0},
        {"CTS output flow", [](Dcb& d) { d.fOutxCtsFlow = true; }, CRTSCTS, 0},
        {"RTS handshake", [](Dcb& d) { d.fRtsControl = 2; }, CRTSCTS, 0},
        {"RTS enable", [](Dcb& d) { d.fRtsControl = 1; }, 0, 0},
        {"DSR flow (no counterpart)", [](Dcb& d) { d.fOutxDsrFlow = true; }, 0, 0},
        {"XON/XOFF out", [](Dcb& d) { d.fOutX = true; }, 0, IXON},
        {"XON/XOFF in", [](Dcb& d) { d.fInX = true; }, 0, IXOFF},
        {"parity check", [](Dcb& d) { d.fParity = true; }, 0, INPCK | PARMRK},
        {"replace without check",
         [](Dcb& d) {
             d.fErrorChar = true;
             d.ErrorChar = '?';
         },
         0, 0},
    };
    for (auto& c : cases) {
        Dcb d = Line();
        c.set(d);
        TermiosImage t = Map(d);
        EXPECT_EQ(t.c_cflag & CRTSCTS, c.cflag) << c.what;
        EXPECT_EQ(t.c_iflag, c.iflag) << c.what;
    }
    Dcb d = Line();
    d.fOutX = d.fInX = true;
    d.XonChar = 0x05;
    d.XoffChar = 0x06;
    TermiosImage t = Map(d);
    EXPECT_EQ(t.c_cc[VSTART], 0x05);
    EXPECT_EQ(t.c_cc[VSTOP], 0x06);
}

TEST(TermiosMapping, RefusesWhatTheDriverCannotTake) {
    struct Case {
        const char* what;
        void (*set)(Dcb&);
    } cases[] = {
        {"4 data bits", [](Dcb& d) { d.ByteSize = 4; }},
        {"9 data bits", [](Dcb& d) { d.ByteSize = 9; }},
        {"parity 5", [](Dcb& d) { d.Parity = 5; }},
        {"stop bits 3", [](Dcb& d) { d.StopBits = 3; }},
        {"rate 0", [](Dcb& d) { d.BaudRate = 0; }},
        {"negative custom rate", [](Dcb& d) { d.BaudRate = static_cast<uint32_t>(-9600); }},
        {"XON equals XOFF",
         [](Dcb& d) {
             d.fInX = true;
             d.XonChar = d.XoffChar = 0x11;
         }},
    };
    for (auto& c : cases) {
        Dcb d = Line();
        c.set(d);
        TermiosImage out;
        EXPECT_EQ(DcbToTermios(d, Dirty(), out), EINVAL) << c.what;
    }
    Dcb same = Line();
    same.XonChar = same.XoffChar = 0;
    TermiosImage out;
    EXPECT_EQ(DcbToTermios(same, Dirty(), out), 0) << "equal characters are fine unused";
}

// ---------------------------------------------------------------- received bytes

std::string Decode(InputDecoder& d, std::string raw) {
    auto* p = reinterpret_cast<uint8_t*>(raw.data());
    raw.resize(d.Decode(p, raw.size()));
    return raw;
}

TEST(InputDecoding, ParityMarks) {
    struct Case {
        const char* what;
        bool replace, dropNull;
        std::string raw, decoded;
    } cases[] = {
        {"plain bytes", false, false, "abc", "abc"},
        {"doubled 0xFF", false, false,
         std::string("a\xFF\xFF"
                     "b",
                     4),
         std::string("a\xFF"
                     "b",
                     3)},
        {"faulty byte kept", false, false, std::string("\xFF\x00X", 3), "X"},
        {"faulty byte replaced", true, false,
         std::string("a\xFF\x00X"
                     "b",
                     5),
         "a?b"},
        {"break as zero", false, false, std::string("\xFF\x00\x00", 3), std::string(1, '\0')},
        {"break dropped with nulls", false, true, std::string("\xFF\x00\x00z", 4), "z"},
        {"replacement survives null discard", true, true, std::string("\x00\xFF\x00X", 4), "?"},
        {"lone 0xFF dropped", false, false,
         std::string("\xFF"
                     "A",
                     2),
         "A"},
    };
    for (auto& c : cases) {
        InputDecoder d;
        d.Configure(true, c.replace, '?', c.dropNull);
        EXPECT_EQ(Decode(d, c.raw), c.decoded) << c.what;
    }
}

TEST(InputDecoding, MarksSplitAcrossReads) {
    InputDecoder d;
    d.Configure(true, true, '#', false);
    const std::string raw = std::string("1\xFF\xFF"
                                        "2\xFF\x00X"
                                        "3",
                                        8);
    // Every split point of the stream gives the same bytes.
    for (size_t cut = 0; cut <= raw.size(); ++cut) {
        d.Reset();
        std::string got = Decode(d, raw.substr(0, cut));
        got += Decode(d, raw.substr(cut));
        EXPECT_EQ(got, std::string("1\xFF"
                                   "2#3",
                                   5))
            << "cut at " << cut;
    }
    // One byte at a time.
    d.Reset();
    std::string got;
    for (char c : raw)
        got += Decode(d, std::string(1, c));
    EXPECT_EQ(got, std::string("1\xFF"
                               "2#3",
                               5));
    // A purge forgets a partial mark.
    d.Reset();
    EXPECT_EQ(Decode(d, std::string("\xFF\x00", 2)), "");
    d.Reset();
    EXPECT_EQ(Decode(d, "Q"), "Q");
}

TEST(InputDecoding, WithoutMarksOnlyNullsGo) {
    InputDecoder d;
    d.Configure(false, true, '?', true);
    EXPECT_EQ(Decode(d, std::string("\xFF\x00\xFF", 3)), std::string("\xFF\xFF", 2));
    d.Configure(false, false, 0, false);
    EXPECT_TRUE(d.Transparent());
}

} // namespace

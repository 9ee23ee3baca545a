// The Lenz receive parser on a component without a port: chunks go in as
// the receive handler hands them over, events and log lines come out.
#include "command_station/lenz/LenzMessages.h"
#include "command_station/MivoComm.h"
#include "Links.h"
#include "platform/Host.h"
#include "tests/support/Bytes.h"
#include "tests/support/RecordingHost.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <random>

using namespace command_station;
using namespace command_station::lenz;

namespace {

using testsupport::Bytes;

// A whole message: the bytes and their XOR byte.
std::string M(std::initializer_list<int> bytes) {
    std::string s = Bytes(bytes);
    return s + static_cast<char>(lenz::Xor(s));
}

struct Event {
    TLenzAktie aktie;
    uint16_t d1, d2;
    uint8_t d3;
    double d4;
    bool operator==(const Event& o) const {
        return aktie == o.aktie && d1 == o.d1 && d2 == o.d2 && d3 == o.d3 && d4 == o.d4;
    }
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
    return os << "{" << int(e.aktie) << "," << e.d1 << "," << e.d2 << "," << int(e.d3) << ","
              << e.d4 << "}";
}

class LenzParser : public ::testing::Test {
  protected:
    void SetUp() override {
        com.SetDigitaalSysteem(dsLenz);
        com.SetOnLenzAddTekst([this](const std::string& t) { log.push_back(t); });
        com.OnLenzDoeIets = [this](TLenzAktie a, uint16_t d1, uint16_t d2, uint8_t d3, double d4) {
            events.push_back({a, d1, d2, d3, d4});
        };
        com.LenzLogMasker = 0xFFFE; // all but the raw chunk lines
    }
    void Feed(const std::string& chunk) { links::Lenz(com).LenzOntvangBytes(chunk); }
    void Clear() {
        log.clear();
        events.clear();
    }

    testsupport::RecordingHost host;
    std::vector<std::string> log;
    std::vector<Event> events;
    TMivoCom com;
};

} // namespace

TEST_F(LenzParser, SplitChunksAndSeveralMessagesPerChunk) {
    std::string a = M({0x42, 0x05, 0x53}), b = M({0x42, 0x06, 0x41});
    Feed(a.substr(0, 2));
    EXPECT_EQ(links::Lenz(com).LenzInvoer, a.substr(0, 2));
    EXPECT_TRUE(events.empty());
    Feed(a.substr(2) + b);
    EXPECT_TRUE(links::Lenz(com).LenzInvoer.empty());
    EXPECT_EQ(events,
              (std::vector<Event>{{laBezetmelder, 6, 2, 3, 0}, {laBezetmelder, 7, 1, 1, 0}}));
    // One byte at a time gives the same.
    Clear();
    for (char c : a + b)
        Feed(std::string(1, c));
    EXPECT_EQ(events.size(), 2u);
}

// A corrupted message: dropped, logged, and the hunt counts every byte up to
// the next valid message, which is handled from the same chunk.
TEST_F(LenzParser, CorruptedMessageResynchronisesInTheSameChunk) {
    std::string slecht = M({0x42, 0x05, 0x53});
    slecht[2] = 0x57;
    Feed(slecht + Bytes({0x07, 0x09}) + M({0x01, 0x04}));
    EXPECT_EQ(log,
              (std::vector<std::string>{"- Error: XOR-byte klopt niet; start synchronisatie!",
                                        "- Gesynchroniseerd: 6 input bytes zijn verloren gegaan!",
                                        "- commando oke; stuur volgend..."}));
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(links::Lenz(com).LenzSynchroniseren);
    EXPECT_TRUE(links::Lenz(com).LenzInvoer.empty());

    // The hunt stops at an incomplete candidate and goes on when it is whole.
    Clear();
    Feed(Bytes({0x42, 0x00, 0x00, 0x00, 0x05}) + M({0x42, 0x01, 0x40}).substr(0, 2));
    EXPECT_TRUE(links::Lenz(com).LenzSynchroniseren);
    EXPECT_EQ(links::Lenz(com).LenzInvoer.size(), 2u);
    Feed(M({0x42, 0x01, 0x40}).substr(2));
    EXPECT_EQ(log.back(), "- bezetmeldadres: 2 1- 2- 3- 4-");
    EXPECT_EQ(log[1], "- Gesynchroniseerd: 5 input bytes zijn verloren gegaan!");
}

TEST_F(LenzParser, Version3HeadersCountAsStartsOnlyOnceTheVersionIsKnown) {
    std::string loc = M({0xE4, 0x04, 0x0B, 0x10, 0x00});
    Feed(Bytes({0x42, 0x00, 0x00, 0x00}) + loc + M({0x01, 0x04}));
    EXPECT_EQ(log[1], "- Gesynchroniseerd: 10 input bytes zijn verloren gegaan!");

    Clear();
    Feed(M({0x63, 0x21, 0x36, 0x00}));
    EXPECT_DOUBLE_EQ(links::Lenz(com).LenzVersie, 3.6);
    EXPECT_EQ(log, std::vector<std::string>{"- versienummer: 3.6"});
    EXPECT_EQ(events, (std::vector<Event>{{laVersie, 0, 0, 0, 3.6}}));
    Clear();
    Feed(Bytes({0x42, 0x00, 0x00, 0x00}) + loc);
    EXPECT_EQ(log[1], "- Gesynchroniseerd: 4 input bytes zijn verloren gegaan!");
}

TEST_F(LenzParser, Header78AsMislabelled76) {
    std::string entries;
    for (int i = 0; i < 6; ++i)
        entries += Bytes({i, 0x40 | i});
    std::string bericht = Bytes({78}) + entries + Bytes({0x99}); // 14 bytes, wrong XOR on purpose
    com.LenzVervang78 = true;
    Feed(bericht.substr(0, 13));
    EXPECT_TRUE(events.empty());
    Feed(bericht.substr(13));
    EXPECT_EQ(log.front(), "- Error: 78 header uit bezetmelding! (vervangen door 76)!");
    EXPECT_EQ(events.size(), 6u);
    EXPECT_TRUE(links::Lenz(com).LenzInvoer.empty());

    // Without the option the parser waits for all 16 bytes and checks them.
    Clear();
    com.LenzVervang78 = false;
    Feed(bericht);
    EXPECT_EQ(links::Lenz(com).LenzInvoer.size(), 14u);
    Feed(Bytes({0x00, 0x00}));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(log.front(), "- Error: XOR-byte klopt niet; start synchronisatie!");
}

TEST_F(LenzParser, FeedbackEntriesOfEveryType) {
    struct Row {
        bool versie3;
        int a, f;
        std::string regel;
        std::vector<Event> events;
    } rows[] = {
        {false, 5, 0x53, "- bezetmeldadres: 6 5x 6x 7- 8-", {{laBezetmelder, 6, 2, 3, 0}}},
        {false, 2, 0x25, "- wisseladres: 2 9R 10R", {{laWisselFeedback, 2, 9, 5, 0}}},
        {false, 2, 0x38, "- wisseladres: 2 11A 12A", {{laWisselFeedback, 2, 11, 8, 0}}},
        {false, 9, 0x01, "!! - Feedbacktype: 00 op adres 10 niet gedefinieerd!", {}},
        {true, 9, 0x14, "- wisseladres: 9 39A 40R", {{laWisselFeedback, 9, 39, 4, 0}}},
        {true, 0xFF, 0x6F, "!! - Feedbacktype: 11 op adres 256 niet gedefinieerd!", {}},
    };
    for (const Row& r : rows) {
        links::TellLenzVersion(com, r.versie3 ? 3.0 : 2.3);
        Clear();
        Feed(M({0x42, r.a, r.f}));
        EXPECT_EQ(log, std::vector<std::string>{r.regel}) << r.regel;
        EXPECT_EQ(events, r.events) << r.regel;
    }
}

// Every other header: what it raises and logs.
TEST_F(LenzParser, MessagesByHeader) {
    struct Row {
        std::string bericht;
        std::vector<std::string> regels;
        std::vector<Event> events;
    } rows[] = {
        {M({0x01, 0x02}), {"- Error tussen interface en commandstation!"}, {}},
        {M({0x01, 0x03}), {"- Error: onbekende opdracht!"}, {}},
        {M({0x01, 0x05}), {"- Error: commandstation reageert niet!"}, {}},
        {M({0x01, 0x09}), {}, {}},
        {M({0x61, 0x00}), {"- Emergency off"}, {{laNoodstop, 0x61, 0, 0, 0}}},
        {M({0x61, 0x02}), {}, {{laServiceMode, 0, 0, 0, 0}}},
        {M({0x61, 0x01}), {"- Alles aan"}, {{laAllesAan, 0, 0, 0, 0}}},
        {M({0x61, 0x82}), {"- !!! Laatste opdracht niet ondersteunt door centrale!"}, {}},
        {M({0x61, 0x07}), {}, {}},
        {M({0x81, 0x00}), {"- Noodstop op handregelaar"}, {{laNoodstop, 0x81, 0, 0, 0}}},
        {M({0x81, 0x01}), {}, {}},
        {M({0x62, 0x22, 0x36}), {}, {}},
        {M({0x83, 0x03, 0x76, 0x01}), {"- loc: 3 / vooruit / licht aan / snelheid: 10"}, {}},
        {M({0x84, 0x03, 0x0F, 0x00, 0x00}),
         {"- loc: 3 / achteruit / licht uit / snelheid: 14"},
         {}},
        {M({0xA3, 0x07, 0x21, 0x00}),
         {"- loc: 7 op handbediening", "- loc: 7 / achteruit / licht aan / snelheid: 0"},
         {{laHandControl, 7, 0, 0, 0}}},
        {M({0xA4, 0x07, 0x53, 0x02, 0x02}),
         {"- loc: 7 op handbediening", "- loc: 7 / vooruit / licht uit / snelheid: 4"},
         {{laHandControl, 7, 0, 0, 0}, {laLoc, 7, 0x44, 2, 0}}},
        {M({0xE3, 0x40, 0xC3, 0xE8}),
         {"- loc: 1000 op handbediening (V3)"},
         {{laHandControl, 1000, 0, 0, 0}}},
        {M({0xE4, 0x04, 0x8B, 0x10, 0x00}), {}, {}}, // no status request pending
        {M({0x99, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x11}),
         {"- headertype 153 niet gedefinieerd!",
          "  ontvangen: 153 18 52 86 120 154 188 222 240 17 136"},
         {}},
    };
    for (const Row& r : rows) {
        Clear();
        Feed(r.bericht);
        EXPECT_EQ(log, r.regels) << static_cast<int>(static_cast<uint8_t>(r.bericht[0]));
        EXPECT_EQ(events, r.events) << static_cast<int>(static_cast<uint8_t>(r.bericht[0]));
        EXPECT_TRUE(links::Lenz(com).LenzInvoer.empty());
    }
}

TEST_F(LenzParser, Version3LocomotiveStateAnswersTheStatusRequest) {
    links::TellLenzVersion(com, 3.6);
    Clear();
    links::Lenz(com).VerwachtLocV3 = Bytes({0xC3, 0xE8});
    links::Lenz(com).LenzRij.push_back(Bytes({0xE3, 0x00, 0xC3, 0xE8}));
    links::Lenz(com).LenzRij.push_back(Bytes({0x21, 0x21}));
    // 28 steps, forward, speed code 22 (step 10), light (function 0) and F1.
    Feed(M({0xE4, 0x02, 0x96, 0x11, 0x00}));
    EXPECT_EQ(events, (std::vector<Event>{{laLocV3, 1000, 0x8A, 0x51, 0}}));
    EXPECT_EQ(log,
              std::vector<std::string>{"- loc (V3): 1000 / vooruit / licht aan / snelheid: 10"});
    EXPECT_TRUE(links::Lenz(com).VerwachtLocV3.empty());
    ASSERT_EQ(links::Lenz(com).LenzRij.size(), 1u);

    // Without a pending request: no event, but the head is still done.
    Clear();
    Feed(M({0xE5, 0x02, 0x96, 0x11, 0x00, 0x00}));
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(links::Lenz(com).LenzRij.empty());
}

TEST_F(LenzParser, NoLinesWithAnEmptyMaskButEventsAndCompletionsAsUsual) {
    com.LenzLogMasker = 0;
    links::Lenz(com).LenzRij.push_back(Bytes({0x42, 0x05, 0x80}));
    links::Lenz(com).VerwachtBezetAdres = 6;
    links::Lenz(com).VerwachtNibble = 0;
    Feed(M({0x42, 0x05, 0x53}) + M({0x63, 0x21, 0x30, 0x00}) + M({0x90}) +
         Bytes({0x01, 0x04, 0x07}));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(events.size(), 2u);
    EXPECT_TRUE(links::Lenz(com).LenzRij.empty());
    EXPECT_EQ(links::Lenz(com).VerwachtBezetAdres, -1);
}

TEST_F(LenzParser, FeedbackCompletionRules) {
    struct Row {
        double versie;
        uint8_t nibble;
        int a, f;
        bool klaar;
    } rows[] = {
        {2.3, 0, 5, 0x40, true},   // lower nibble request: any nibble
        {2.3, 0, 5, 0x50, true},   //
        {2.3, 16, 5, 0x40, false}, // upper nibble request: bit 4 needed
        {2.3, 16, 5, 0x50, true},  //
        {2.3, 16, 4, 0x50, false}, // another module
        {3.0, 16, 5, 0x00, true},  // version 3: a type-00 entry completes
        {2.3, 16, 5, 0x00, true},  // before: undefined type, completes as well
        {3.0, 16, 5, 0x60, true},  //
    };
    for (const Row& r : rows) {
        links::TellLenzVersion(com, r.versie);
        links::Lenz(com).LenzRij.clear();
        links::Lenz(com).LenzRij.push_back(Bytes({0x42, 0x05, 0x81}));
        links::Lenz(com).VerwachtBezetAdres = 6;
        links::Lenz(com).VerwachtNibble = r.nibble;
        Feed(M({0x42, r.a, r.f}));
        EXPECT_EQ(links::Lenz(com).LenzRij.empty(), r.klaar) << r.versie << " " << int(r.nibble) << " " << r.f;
    }
}

// Garbage of every kind: no crash, and the buffer never holds more than
// one candidate message.
TEST_F(LenzParser, GarbageNeverGrowsTheBuffer) {
    com.LenzLogMasker = 0xFFFF;
    std::mt19937 rng(12);
    std::string kandidaten;
    for (int h = 0; h < 256; ++h)
        for (int len = 0; len < 17; ++len) {
            std::string s(1, static_cast<char>(h));
            for (int i = 0; i < len; ++i)
                s += static_cast<char>(rng());
            kandidaten += s;
        }
    for (size_t i = 0; i < kandidaten.size();) {
        size_t n = 1 + rng() % 40;
        Feed(kandidaten.substr(i, n));
        ASSERT_LT(links::Lenz(com).LenzInvoer.size(), 17u);
        i += n;
    }
    // Every header with its full length and a right XOR byte is taken as it
    // comes, one message each.
    links::Lenz(com).LenzSynchroniseren = false;
    links::Lenz(com).LenzInvoer.clear();
    for (int h = 0; h < 256; ++h) {
        std::string s(1, static_cast<char>(h));
        s.append(lenz::MessageLength(static_cast<uint8_t>(h)) - 2, '\x00');
        s += static_cast<char>(lenz::Xor(s));
        Feed(s);
        ASSERT_TRUE(links::Lenz(com).LenzInvoer.empty()) << h;
        ASSERT_FALSE(links::Lenz(com).LenzSynchroniseren) << h;
    }
    // And after any of that a valid message is found again.
    Clear();
    Feed(Bytes({0x42, 0x07}) + M({0x42, 0x05, 0x53}));
    EXPECT_EQ(events, (std::vector<Event>{{laBezetmelder, 6, 2, 3, 0}}));
}

// A process whose decimal separator is a comma: the number stays 3.6, only
// the log line shows the comma.
TEST_F(LenzParser, VersionUnderACommaLocale) {
    std::string dir = ::testing::TempDir() + "quorrin_komma_locale";
    std::string src = dir + "/komma.src";
    std::string cmd =
        "mkdir -p '" + dir + "' && printf 'LC_NUMERIC\\ndecimal_point \"<U002C>\"\\n" +
        "thousands_sep \"\"\\ngrouping -1\\nEND LC_NUMERIC\\n' > '" + src +
        "' && localedef -c -i '" + src + "' -f UTF-8 '" + dir + "/komma' > /dev/null 2>&1";
    int made = std::system(cmd.c_str());
    setenv("LOCPATH", dir.c_str(), 1);
    if (!std::setlocale(LC_NUMERIC, "komma")) {
        unsetenv("LOCPATH");
        GTEST_SKIP() << "no comma locale could be made (" << made << ")";
    }
    com.LenzLogMasker = 0x0020;
    Feed(M({0x63, 0x21, 0x36, 0x00}));
    double versie = links::Lenz(com).LenzVersie;
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    EXPECT_EQ(versie, 3.6);
    EXPECT_EQ(log, std::vector<std::string>{"- versienummer: 3,6"});
    EXPECT_EQ(events.back().d4, 3.6);
}

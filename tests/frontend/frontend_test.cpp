// The systems table, the host settings as every front end takes them, and
// the line trace's JSON.
#include "command_station/MivoComm.h"
#include "frontend/HostSettings.h"
#include "frontend/LineTrace.h"
#include "frontend/Systems.h"
#include "serial/ComSettings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>

namespace {

using frontend::HostSettings;

TEST(SystemsTable, NamesAreUniqueAndFoundNumbersAreTheComponents) {
    std::set<std::string> names;
    std::set<int> numbers;
    for (const auto& s : frontend::Systems()) {
        names.insert(s.name);
        numbers.insert(s.number);
        EXPECT_EQ(frontend::FindSystem(s.name), &s);
    }
    EXPECT_EQ(names.size(), 6u);
    EXPECT_EQ(numbers, (std::set<int>{1, 2, 3, 4, 5, 6}));
    for (const char* unknown : {"", "Lenz", "lenz ", "selectrix2"})
        EXPECT_EQ(frontend::FindSystem(unknown), nullptr) << unknown;
}

TEST(LenzMask, NamesNumbersAndRejects) {
    struct Case {
        const char* text;
        std::optional<uint16_t> mask;
    };
    const Case cases[] = {
        {"", uint16_t{0}},          {"0x2000", uint16_t{0x2000}},
        {"8", uint16_t{8}},         {"0x10000", std::nullopt}, // wider than the mask
        {"12abc", std::nullopt},                               // a number with a tail
        {"nonsense", std::nullopt},                            // neither a category nor a number
        {",,", uint16_t{0}},                                   // empty parts are skipped
    };
    for (const Case& c : cases)
        EXPECT_EQ(frontend::LenzMask(c.text), c.mask) << c.text;
    // A category name and a number add up.
    const auto named = frontend::LenzMask("errors");
    ASSERT_TRUE(named.has_value());
    EXPECT_NE(*named, 0);
    EXPECT_EQ(frontend::LenzMask("errors,0x1"), static_cast<uint16_t>(*named | 1));
}

TEST(HostSettings, ReachTheComponent) {
    HostSettings s;
    s.lenzReplyMs = 750;
    s.lenzSkip = 0;
    s.lenzQuietMs = 255;
    s.ibFixed = true;
    s.ibBaud = 19200;
    s.ibBinary = true;
    s.marklinLocPause = 61;
    s.marklinStopPause = 91;
    s.marklinBytePause = 11;
    s.marklinFast = true;
    s.kaartFast = true;
    s.kaartOptions = {false, false, false, true};
    s.dinamoAnswerMs = 300;
    command_station::TMivoCom com;
    com.SetDigitaalSysteem(command_station::dsLenz);
    frontend::ApplyHostSettings(com, s);
    EXPECT_EQ(com.LenzAntwoordTijd, 750);
    EXPECT_EQ(com.LenzSlaOver, 0);
    EXPECT_EQ(com.LenzStilteTijd, 255);
    EXPECT_TRUE(com.IBVasteBaud);
    EXPECT_EQ(com.IBDoelBaud, serial::br19200);
    EXPECT_TRUE(com.IBBinaireLoc);
    EXPECT_EQ(com.MarklinLocPauze, 61);
    EXPECT_EQ(com.MarklinStopPauze, 91);
    EXPECT_EQ(com.MarklinBytePauze, 11);
    EXPECT_TRUE(com.MarklinSnel);
    EXPECT_TRUE(com.KaartSnel);
    EXPECT_FALSE(com.KaartOptie0);
    EXPECT_FALSE(com.KaartOptie1);
    EXPECT_FALSE(com.KaartOptie2);
    EXPECT_TRUE(com.KaartOptie4);
    EXPECT_EQ(com.DinamoAntwoordTijd, 300);
}

TEST(HostSettings, DefaultsAreTheComponentsOwnAndKeepItsIntelliboxRate) {
    command_station::TMivoCom fresh;
    command_station::TMivoCom com;
    frontend::ApplyHostSettings(com, HostSettings{});
    EXPECT_EQ(com.IBDoelBaud, fresh.IBDoelBaud); // rate 0: left alone
    EXPECT_EQ(com.MarklinLocPauze, fresh.MarklinLocPauze);
    EXPECT_EQ(com.MarklinStopPauze, fresh.MarklinStopPauze);
    EXPECT_EQ(com.MarklinBytePauze, fresh.MarklinBytePauze);
    EXPECT_EQ(com.KaartOptie0, fresh.KaartOptie0);
    EXPECT_EQ(com.KaartOptie4, fresh.KaartOptie4);
    EXPECT_EQ(com.DinamoAntwoordTijd, fresh.DinamoAntwoordTijd);
    HostSettings odd;
    odd.ibBaud = 12345; // no rate of the serial layer
    frontend::ApplyHostSettings(com, odd);
    EXPECT_EQ(com.IBDoelBaud, fresh.IBDoelBaud);
}

} // namespace

namespace {

// The line events' JSON is written by hand (a purge comes inside every
// read): each line is what the JSON library writes for the same object,
// whatever the detail holds.
TEST(LineTraceJson, LineEventsReadAsTheLibraryWritesThem) {
    using E = serial::TraceLineEvent;
    frontend::LineTrace trace("selectrix", true, true, -1, {});
    std::vector<std::string> lines;
    trace.printLine = [&](const std::string& line) { lines.push_back(line); };
    struct Case {
        E event;
        uint32_t value;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {E::Opened, 0, "/dev/pts/3"},         {E::LineSettings, 9600, "8N2"},
        {E::Purged, 8, ""},                   {E::Failure, 5, "Input/output error"},
        {E::Opened, 0, "/dev/zug\"lok\\1"},  {E::Opened, 0, "/dev/gr\xc3\xbcn"},
        {E::Closed, 0, "/dev/bad\xff"},        {E::Dtr, 4294967295u, "tab\there"},
    };
    for (const Case& c : cases)
        trace.OnLineEvent(serial::TraceMicros(), c.event, c.value, c.detail);
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const nlohmann::json read = nlohmann::json::parse(lines[i], nullptr, false);
        ASSERT_FALSE(read.is_discarded()) << lines[i];
        nlohmann::json expected{{"event", "trace"},
                                {"t_us", read.value("t_us", uint64_t{0})},
                                {"line", serial::TraceLineEventName(c.event)},
                                {"value", c.value}};
        if (!c.detail.empty()) expected["detail"] = c.detail;
        EXPECT_EQ(lines[i],
                  expected.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
}

} // namespace
